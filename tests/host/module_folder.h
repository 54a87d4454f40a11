// A copy of the built module in a folder of its own: the driver looks for
// its settings beside itself and creates missing ones there.
#pragma once

#include <string>

#include "platform/file.h"
#include "platform/module.h"
#include "testutil/testutil.h"

class ModuleFolder {
public:
    ModuleFolder() {
        const testutil::WString built = testutil::W(NIMBRO_TEST_MODULE);
        path_ = dir_.Join("NimbroDrvIDec") + built.substr(built.rfind(W16('.')));
        const std::string data = testutil::ReadFile(built);
        ok_ = !data.empty() && plat::FileWriteAll(path_.c_str(), data.data(), data.size());
    }
    bool Ok() const { return ok_; }
    std::string Path() const { return testutil::Narrow(path_.c_str()); }
    const testutil::TempDir& Dir() const { return dir_; }

    // The POSIX socket layer keeps a table for the life of the process inside
    // the module; once the module is unloaded, LeakSanitizer no longer sees
    // the pointer to it and reports it. One more reference, never given
    // back, keeps the module mapped as in a host that loads it once.
    void KeepLoaded() const {
        if (testutil::PosixBackend())
            plat::ModuleLoad(path_.c_str());
    }

    // One link to endpoint (may be empty) with a PLC whose device D is block D.
    void Configure(const std::string& endpoint) {
        dir_.Write("Nimbro.ini", "[NimbroDrvIDec]\r\nSettingFile=NimbroDrvIDec.cfg\r\n");
        dir_.Write("idec.plc",
                   "CpuName: TEST\r\nIndex: D\r\nD: D,Word,Dec,1,0,7999,read,write,\r\n");
        dir_.Write("NimbroDrvIDec.cfg", "[PlcConfig]\r\nOPCScanTiming=20\r\nReadDeviceTimer=50\r\n"
                                        "[Link0]\r\nOpenName=" +
                                            endpoint +
                                            "\r\nDeviceNo=1\r\n"
                                            "[Link0.Plc0]\r\nName=PLC1\r\nPlcFile=idec.plc\r\n"
                                            "[Link0.Plc0.Dev0]\r\nDeviceName=D\r\n");
    }

private:
    testutil::TempDir dir_;
    testutil::WString path_;
    bool ok_ = false;
};
