// nimbro-host --connect: its arguments, the configuration it stages and the
// staged folder, which goes on every way out.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "HostCli.h"
#include "platform/file.h"
#include "testutil/testutil.h"
#include "host_args.h"

namespace {

using hosttest::Parse;
using hosttest::Split;
using nimbrohost::Options;
using testutil::W;

// A serial port name of the platform under test, for SERIAL in a line.
std::string WithSerial(std::string line) {
    const size_t at = line.find("SERIAL");
    if (at != std::string::npos)
        line.replace(at, 6, testutil::PosixBackend() ? "/dev/ttyS0" : "COM3");
    return line;
}

typedef std::vector<std::pair<std::string, std::map<std::string, std::string>>> Ini;

// Sections in their order with their keys, as the driver reads them.
Ini ParseIni(const std::string& text) {
    Ini ini;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            ini.emplace_back(line.substr(1, line.find(']') - 1),
                             std::map<std::string, std::string>());
            continue;
        }
        const size_t eq = line.find('=');
        EXPECT_TRUE(eq != std::string::npos && !ini.empty()) << line;
        if (eq != std::string::npos && !ini.empty())
            ini.back().second[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return ini;
}

const std::map<std::string, std::string>* Section(const Ini& ini, const std::string& name) {
    for (const auto& s : ini)
        if (s.first == name)
            return &s.second;
    return nullptr;
}

TEST(HostConnect, StagedConfigurationHasTheLinkAndEveryDeviceType) {
    const struct {
        const char* line;
        const char* keys; // the keys of [Link0], all of them
    } rows[] = {
        {"--connect 127.0.0.1:2101 list", "OpenName=127.0.0.1:2101; DeviceNo=0"},
        {"--connect plc.local:1 --station 255", "OpenName=plc.local:1; DeviceNo=255"},
        {"--connect=10.0.0.5:65535 --station=0 read D D100", "OpenName=10.0.0.5:65535; DeviceNo=0"},
        {"--connect SERIAL --station 17 --baud 19200 --data-bits 8 --parity o --stop-bits 2",
         "OpenName=SERIAL; DeviceNo=17; BaudRate=19200; DataBits=8; Parity=O; StopBits=2"},
        {"--connect SERIAL --baud 300", "OpenName=SERIAL; DeviceNo=0; BaudRate=300"},
        {"--connect SERIAL --baud 230400 --parity N",
         "OpenName=SERIAL; DeviceNo=0; BaudRate=230400; Parity=N"},
        {"--connect SERIAL --data-bits 7 --stop-bits 1",
         "OpenName=SERIAL; DeviceNo=0; DataBits=7; StopBits=1"},
        {"--connect SERIAL --parity E --parity O", "OpenName=SERIAL; DeviceNo=0; Parity=O"},
        {"--connect SERIAL", "OpenName=SERIAL; DeviceNo=0"},
    };
    const std::string plc = testutil::ReadFile(W(NIMBRO_TEST_PLC_FILE));
    ASSERT_FALSE(plc.empty()) << NIMBRO_TEST_PLC_FILE;
    EXPECT_EQ(std::string(nimbrohost::ShippedPlcDefinition()), plc);
    const std::vector<std::string> types = nimbrohost::PlcDeviceTypes(plc);
    for (const char* type : {"D", "M", "TP", "I", "P"})
        EXPECT_EQ(std::count(types.begin(), types.end(), type), 1) << type;

    for (const auto& row : rows) {
        const std::string line = WithSerial(row.line);
        Options o;
        std::string error;
        ASSERT_TRUE(Parse(line, &o, &error)) << line << ": " << error;
        const Ini ini = ParseIni(nimbrohost::ConnectConfiguration(o.connect));
        std::map<std::string, std::string> want;
        for (const std::string& kv : Split(WithSerial(row.keys)))
            want[kv.substr(0, kv.find('='))] = kv.substr(kv.find('=') + 1);
        const auto* link = Section(ini, "Link0");
        ASSERT_TRUE(link) << line;
        EXPECT_EQ(*link, want) << line;
        const auto* plcSection = Section(ini, "Link0.Plc0");
        ASSERT_TRUE(plcSection) << line;
        EXPECT_EQ(plcSection->at("PlcFile"), "idec.plc") << line;
        EXPECT_FALSE(plcSection->at("Name").empty()) << line;
        // Device sections numbered from 0 without a gap, one per type.
        std::vector<std::string> devices;
        for (size_t i = 0;; ++i) {
            const auto* dev = Section(ini, "Link0.Plc0.Dev" + std::to_string(i));
            if (!dev)
                break;
            devices.push_back(dev->at("DeviceName"));
        }
        EXPECT_EQ(devices, types) << line;
        EXPECT_EQ(ini.size(), 2 + types.size()) << line;
    }
}

TEST(HostConnect, MistakesAreRefused) {
    const struct {
        const char* line;
        const char* says;
    } rows[] = {
        {"--connect", "--connect"},
        {"--connect '' list", "empty target"},
        {"--connect 127.0.0.1 list", "neither HOST:PORT"},
        {"--connect :2101", "neither HOST:PORT"},
        {"--connect h:0", "neither HOST:PORT"},
        {"--connect h:65536", "neither HOST:PORT"},
        {"--connect h:21x", "neither HOST:PORT"},
        {"--connect h:+21", "neither HOST:PORT"},
        {"--connect h:", "neither HOST:PORT"},
        {"--connect a:1:2", "neither HOST:PORT"},
        {"--connect h:2101 --port 2101", "--port and --connect"},
        {"--port 1 --connect h:2101", "--port and --connect"},
        {"--connect h:2101 --station 256", "--station: '256'"},
        {"--connect h:2101 --station -1", "--station"},
        {"--connect h:2101 --station 0x10", "--station"},
        {"--connect h:2101 --station 1.5", "--station"},
        {"--station 1 list", "--station belongs to --connect"},
        {"--baud 9600 list", "--baud belongs to --connect"},
        {"--stop-bits 1", "--stop-bits belongs to --connect"},
        {"--connect h:2101 --baud 9600", "--baud: 'h:2101' is HOST:PORT"},
        {"--connect h:2101 --data-bits 8", "--data-bits: 'h:2101' is HOST:PORT"},
        {"--connect h:2101 --parity E", "--parity: 'h:2101' is HOST:PORT"},
        {"--connect h:2101 --stop-bits 2", "--stop-bits: 'h:2101' is HOST:PORT"},
        {"--connect SERIAL --baud 1234", "--baud: '1234'"},
        {"--connect SERIAL --baud 0", "--baud: '0'"},
        {"--connect SERIAL --baud 0x2580", "--baud: '0x2580'"},
        {"--connect SERIAL --baud 4294976896", "--baud"},
        {"--connect SERIAL --data-bits 6", "--data-bits: '6' is not 7 or 8"},
        {"--connect SERIAL --data-bits 263", "--data-bits: '263'"},
        {"--connect SERIAL --parity X", "--parity: 'X' is not E, O or N"},
        {"--connect SERIAL --parity EO", "--parity"},
        {"--connect SERIAL --stop-bits 3", "--stop-bits: '3' is not 1 or 2"},
        {"--connect SERIAL --stop-bits 0", "--stop-bits"},
        {"--connect SERIAL --station 300", "--station"},
    };
    for (const auto& row : rows) {
        const std::string line = WithSerial(row.line);
        Options o;
        std::string error;
        EXPECT_FALSE(Parse(line, &o, &error)) << line;
        EXPECT_NE(error.find(row.says), std::string::npos) << line << ": " << error;
    }
}

// The folder named by "staged FOLDER for ..." in a run's output.
std::string StagedFolder(const std::string& text) {
    const size_t at = text.find("staged ");
    const size_t end = text.find(" for ", at);
    if (at == std::string::npos || end == std::string::npos)
        return std::string();
    return text.substr(at + 7, end - at - 7);
}

TEST(HostConnect, StagedFolderHoldsTheFilesUntilRemoved) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse(WithSerial("--connect SERIAL --station 9 --baud 38400"), &o, &error))
        << error;
    nimbrohost::StagedModule staged;
    ASSERT_TRUE(staged.Stage(NIMBRO_TEST_MODULE, o.connect, &error)) << error;
    const std::string folder = staged.Folder();
    const std::string module = testutil::ReadFile(W(NIMBRO_TEST_MODULE));
    ASSERT_FALSE(module.empty());
    EXPECT_EQ(testutil::ReadFile(W(staged.ModulePath())), module);
    EXPECT_EQ(staged.ModulePath().compare(0, folder.size(), folder), 0) << staged.ModulePath();
    const std::string sep(1, static_cast<char>(plat::kPathSep));
    EXPECT_EQ(ParseIni(testutil::ReadFile(W(folder + sep + "Nimbro.ini"))),
              ParseIni("[NimbroDrvIDec]\nSettingFile=NimbroDrvIDec.cfg\n"));
    EXPECT_EQ(testutil::ReadFile(W(folder + sep + "NimbroDrvIDec.cfg")),
              nimbrohost::ConnectConfiguration(o.connect));
    EXPECT_EQ(testutil::ReadFile(W(folder + sep + "idec.plc")),
              std::string(nimbrohost::ShippedPlcDefinition()));
    // What the driver may add there goes as well.
    ASSERT_TRUE(plat::FileWriteAll(W(folder + sep + "extra.log").c_str(), "x", 1));
    EXPECT_TRUE(staged.Remove());
    EXPECT_FALSE(plat::PathExists(W(folder).c_str())) << folder;
    EXPECT_TRUE(staged.Folder().empty());
}

// Every way out of a run removes the folder: a module that cannot be read,
// one that does not load, a stop request before the first action.
TEST(HostConnect, RunRemovesTheFolderOnEveryWayOut) {
    testutil::TempDir dir;
    const struct {
        std::string module;
        bool stop;
        int rc;
        const char* says;
    } rows[] = {
        {testutil::Narrow(dir.Join("missing.module").c_str()), false, nimbrohost::kExitHostFailed,
         "cannot read the module"},
        {testutil::Narrow(dir.Write("fake.module", "not a module\n").c_str()), false,
         nimbrohost::kExitHostFailed, "cannot load the module"},
        {NIMBRO_TEST_MODULE, true, nimbrohost::kExitOk, "stopped: remaining actions skipped"},
    };
    for (const auto& row : rows) {
        Options o;
        std::string error;
        ASSERT_TRUE(Parse("--connect 127.0.0.1:2101 wait 600000 read D D100", &o, &error)) << error;
        o.module = row.module;
        std::ostringstream out, err;
        std::atomic<bool> stop{row.stop};
        EXPECT_EQ(nimbrohost::Run(o, out, err, &stop), row.rc) << row.module;
        const std::string text = out.str() + err.str();
        const std::string folder = StagedFolder(text);
        ASSERT_FALSE(folder.empty()) << text;
        EXPECT_FALSE(plat::PathExists(W(folder).c_str())) << text;
        EXPECT_NE(text.find(row.says), std::string::npos) << text;
        EXPECT_EQ(text.find("ReadItem"), std::string::npos) << text;
    }
}

} // namespace
