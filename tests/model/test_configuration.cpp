#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "NimbroDriver.h"
#include "model/Configuration.h"
#include "model/IniFile.h"
#include "model/LinkModel.h"
#include "model/PlcDefinition.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/registry_write.h"
#include "platform/serial.h"
#include "testutil/testutil.h"

using testutil::Narrow;
using testutil::TempDir;
using testutil::W;
using testutil::WString;

namespace {

const char kWorkedExample[] = "[FileVersion]\nPlcFileVersion=3\n[PlcConfig]\nOPCScanTiming=100\n"
                              "ReadDeviceTimer=800\n[Link0]\nOpenName=10.0.0.5:2101\nDeviceNo=1\n"
                              "[Link0.Plc0]\nName=Press1\n[Link0.Plc0.Dev0]\nDeviceName=D\n"
                              "Name=Speed\nStartAddress=100\nSize=2\nDataType=19\n"
                              "DeviceAttribute=3\n[Link0.Plc0.Dev1]\nDeviceName=D\nName=Label\n"
                              "StartAddress=200\nSize=8\nDataType=8\n";
const char kDefinition[] = "; controller definition\nCpuName: CPU-A\nVersion: 1.00\n"
                           "Index: D,I,Q\nD: D,Word,Dec,1,0,7999,read,write,\n"
                           "I: I,Bit,DecOct,2,0,7,10,17,read,\nQ: Q,Byte,Hex,1,0,FF,none\n";
const WChar kOndrelKey[] = W16("SOFTWARE\\Varnholt\\Ondrel");

WString Sep() {
    return WString(1, plat::kPathSep);
}
std::string Folder(const TempDir& d) {
    return Narrow((d.Path() + Sep()).c_str());
}

CPlcDevice* Device(CPlc* plc, const char* name) {
    return plc ? plc->FindDevice(W(name).c_str()) : nullptr;
}
// A block as text: listed, defined, radix, "bit", ranges, highest address,
// access, spare, items.
std::string Block(CPlcDevice* d) {
    char buf[120];
    if (!d)
        return "<none>";
    std::snprintf(buf, sizeof buf, "%d %d r%d%s n%u hi%u a%u x%u i%u", d->listed, d->defined,
                  d->radix, d->bitDevice ? " bit" : "", d->rangeCount, d->highestAddress,
                  d->accessFlags, d->extension, d->ItemCount());
    return buf;
}
CDeviceItem* Item(CPlcDevice* d, const char* name) {
    int32_t i = d ? d->FindItem(W(name).c_str()) : -1;
    return i < 0 ? nullptr : d->GetItem(static_cast<uint32_t>(i));
}

// A configuration (and definition file) in a temporary folder, loaded into a
// table of its own.
struct Loaded {
    TempDir dir;
    CLinkTable table;
    WString path;
    bool result;
    explicit Loaded(const std::string& cfg, const char* plc = kDefinition, uint32_t port = 0) {
        if (plc)
            dir.Write("idec.plc", plc);
        path = dir.Write("NimbroDrvIDec.cfg", cfg);
        table.SetHostPort(port);
        result = config::LoadConfiguration(table, path.c_str());
    }
    CPlcDrvLink* Link() { return table.GetLink(0); }
    CPlc* Plc() { return Link() ? Link()->FirstPlc() : nullptr; }
};

// POSIX keeps its registry in the file NIMBRO_REGISTRY names; Windows ignores
// the variable. PLCDir is put back as it was.
struct TestRegistry {
    TempDir dir;
    testutil::ScopedEnv env{"NIMBRO_REGISTRY", Narrow(dir.Join("registry.txt").c_str()).c_str()};
    WChar value[plat::kMaxPath] = {};
    uint32_t size = sizeof value - sizeof(WChar);
    bool had =
        plat::RegistryReadValue(plat::kHkeyLocalMachine, kOndrelKey, W16("PLCDir"), value, &size);
    ~TestRegistry() {
        if (had)
            plat::RegistryWriteText(plat::kHkeyLocalMachine, kOndrelKey, W16("PLCDir"), value);
        else
            plat::RegistryDeleteValue(plat::kHkeyLocalMachine, kOndrelKey, W16("PLCDir"));
    }
};

// The folder of this program, with its separator.
std::string ExeFolder() {
    WChar exe[plat::kMaxPath] = {};
    uint32_t n = plat::ModulePath(nullptr, exe, plat::kMaxPath);
    while (n > 0 && !plat::IsPathSep(exe[n - 1]))
        --n;
    exe[n] = 0;
    return Narrow(exe);
}

} // namespace

TEST(ConfigDiscovery, DebugSettingAndNimbroIniLeadToTheConfigurationFile) {
    TempDir module, settings;
    WString moduleFolder = module.Path() + Sep();
    WChar out[plat::kMaxPath];
    int32_t logDetail = -1;
    auto find = [&] {
        EXPECT_TRUE(
            config::FindConfigurationFileIn(moduleFolder.c_str(), out, plat::kMaxPath, &logDetail));
        return Narrow(out);
    };
    auto settingsFolder = [&](const std::string& debugSetting) {
        module.Write("DebugSetting.ini", debugSetting);
        config::SettingsFolder(moduleFolder.c_str(), out, plat::kMaxPath);
        return Narrow(out);
    };
    // Nothing there: an empty Nimbro.ini is created, the default name used.
    EXPECT_EQ(Folder(module) + "NimbroDrvIDec.cfg", find());
    EXPECT_TRUE(plat::PathExists(module.Join("Nimbro.ini").c_str()));
    EXPECT_EQ(0, logDetail);
    // DebugSetting.ini moves the settings folder (a separator added when missing);
    // present without a usable SettingDir it leaves an empty one.
    const std::pair<std::string, std::string> moves[] = {
        {"[Setting]\nSettingDir=" + Narrow(settings.Path().c_str()), Folder(settings)},
        {"[Setting]\nSettingDir=" + Folder(settings), Folder(settings)},
        {"[Setting]\nSettingDir=\n", ""},
        {"[Other]\nSettingDir=x\n", ""}};
    for (const auto& m : moves)
        EXPECT_EQ(m.second, settingsFolder(m.first)) << m.first;
    settingsFolder(moves[0].first);
    settings.Write("Nimbro.ini", "[NimbroDrvIDec]\nSettingFile=plant.cfg\n[HttpServer]\n"
                                 "LogDetail=4\n");
    EXPECT_EQ(Folder(settings) + "plant.cfg", find());
    EXPECT_EQ(4, logDetail);

    config::ConfigurationFolder(settings.Join("a.cfg").c_str(), out, plat::kMaxPath);
    EXPECT_EQ(Folder(settings), Narrow(out));
    config::ConfigurationFolder(W16("a.cfg"), out, plat::kMaxPath);
    EXPECT_EQ("", Narrow(out));
}

TEST(ConfigDiscovery, SettingFileForms) {
    TempDir module, elsewhere;
    WString folder = module.Path() + Sep();
    WChar out[plat::kMaxPath];
    auto find = [&](const std::string& settingFile) {
        module.Write("Nimbro.ini", "[NimbroDrvIDec]\nSettingFile=" + settingFile + "\n");
        config::FindConfigurationFileIn(folder.c_str(), out, plat::kMaxPath, nullptr);
        return Narrow(out);
    };
    const std::string sep = Narrow(Sep().c_str()), joined = Folder(module) + "sub" + sep + "a.cfg";
    const std::string absolute = Narrow(elsewhere.Join("a.cfg").c_str()),
                      rooted = sep + "sub" + sep + "a.cfg";
    // A leading separator is not doubled, unless it makes the path absolute (POSIX);
    // a name is not trimmed; a path too long once joined is not cut.
    const std::pair<std::string, std::string> forms[] = {
        {absolute, absolute},
        {"sub" + sep + "a.cfg", joined},
        {rooted, plat::PathIsAbsolute(W(rooted).c_str()) ? rooted : joined},
        {"", Folder(module) + "NimbroDrvIDec.cfg"},
        {" b.cfg ", Folder(module) + " b.cfg "},
        {std::string(250, 'x') + ".cfg", ""}};
    for (const auto& f : forms)
        EXPECT_EQ(f.second, find(f.first)) << f.first;
}

namespace {

// One fact of a loaded model as text: "scan", "read", "links", "address",
// "station", "plcs" (names in order); "plc" or "plc:NAME": name, file, retry,
// timeout, blocks; "BLOCK": as Block();
// "BLOCK/ITEM": @address, size, type/base type, text size, low-high, attribute.
std::string Fact(CLinkTable& t, const std::string& what) {
    char buf[160];
    CPlcDrvLink* link = t.GetLink(0);
    if (what == "scan" || what == "read" || what == "links")
        return std::to_string(what == "scan"   ? t.ScanPeriod()
                              : what == "read" ? t.ReadInterval()
                                               : t.LinkCount());
    if (!link)
        return "<no link>";
    if (what == "address" || what == "station")
        return what == "address" ? link->AddressText() : link->StationText();
    std::string out;
    if (what == "plcs") {
        for (uint32_t i = 0; CPlc* p = link->GetPlc(i); ++i)
            out += (i ? "," : "") + Narrow(p->Name());
        return out;
    }
    CPlc* plc =
        what.compare(0, 4, "plc:") ? link->FirstPlc() : link->FindPlc(W(what.substr(4)).c_str());
    if (!plc)
        return "<no plc>";
    if (what.compare(0, 3, "plc") == 0) {
        std::snprintf(buf, sizeof buf, " %u %d %u", plc->retryNumber, plc->timeout,
                      plc->DeviceCount());
        return Narrow(plc->Name()) + " " + plc->plcFile + buf;
    }
    size_t slash = what.find('/');
    CPlcDevice* d = Device(plc, what.substr(0, slash).c_str());
    CDeviceItem* i =
        d && slash != std::string::npos ? Item(d, what.substr(slash + 1).c_str()) : nullptr;
    if (!d || (!i && slash != std::string::npos))
        return "<none>";
    if (!i)
        return Block(d);
    std::snprintf(buf, sizeof buf, "@%d %u %u/%u %u %u %u", i->startAddress, i->size, i->dataType,
                  i->baseDataType, i->textSize, i->lowHiStatus, i->attribute);
    return buf;
}

// Compares "fact=value; ..." with the model.
void ExpectFacts(CLinkTable& t, const std::string& facts, const std::string& context) {
    for (size_t at = 0; at < facts.size();) {
        size_t eq = facts.find('=', at), end = std::min(facts.find("; ", eq), facts.size());
        EXPECT_EQ(facts.substr(eq + 1, end - eq - 1), Fact(t, facts.substr(at, eq - at)))
            << context << "\n"
            << facts.substr(at, eq - at);
        at = end + 2;
    }
}

} // namespace

// Configuration texts and what the loaded model shows of them ("fact=value; ...").
TEST(ConfigLoad, FileTextsAndTheModelTheyGive) {
    const std::string name32(32, 'n'), longHost(300, 'h');
    const struct {
        std::string cfg;
        const char* plcFile;
        uint32_t port;
        std::string facts;
    } cases[] = {
        {kWorkedExample, kDefinition, 0,
         "scan=100; read=500; links=1; address=10.0.0.5:2101; station=01; plcs=Press1; "
         "plc=Press1 idec.plc 0 3 3; d=1 1 r10 n1 hi7999 a3 x1024 i2; D/Speed=@100 2 19/19 0 0 3; "
         "D/label=@200 8 8/8 16 2 0"},
        // The host's port replaces the one of OpenName.
        {kWorkedExample, kDefinition, 5000, "address=10.0.0.5:5000"},
        {"", kDefinition, 5000, "scan=50; read=250; address=; station=00; plc= idec.plc 0 3 3"},
        // A version above 3000 (or below 0) leaves the table empty.
        {"[FileVersion]\nPlcFileVersion=3000\n", nullptr, 0, "links=1"},
        {"[FileVersion]\nPlcFileVersion=3001", nullptr, 0, "links=0"},
        {"[FileVersion]\nPlcFileVersion=-1", nullptr, 0, "links=0"},
        // The scan period is held to 10..5000 ms, the read interval to 10 ms..5 periods.
        {"[PlcConfig]\nOPCScanTiming=0", nullptr, 0, "scan=10; read=50"},
        {"[PlcConfig]\nOPCScanTiming=6000", nullptr, 0, "scan=5000; read=25000"},
        {"[PlcConfig]\nOPCScanTiming=-1", nullptr, 0, "scan=5000; read=25000"},
        {"[PlcConfig]\nOPCScanTiming=100\nReadDeviceTimer=5", nullptr, 0, "read=10"},
        {"[PlcConfig]\nOPCScanTiming=100\nReadDeviceTimer=300", nullptr, 0, "read=300"},
        {"[PlcConfig]\nOPCScanTiming=100\nReadDeviceTimer=900", nullptr, 0, "read=500"},
        // The station: 16 bits, at most FF, in hexadecimal.
        {"[Link0]\nDeviceNo=300", nullptr, 0, "station=FF"},
        {"[Link0]\nDeviceNo=256", nullptr, 0, "station=FF"},
        {"[Link0]\nDeviceNo=65537", nullptr, 0, "station=01"},
        {"[Link0]\nDeviceNo=10", nullptr, 0, "station=0A"},
        {"[Link0]\nDeviceNo=0x1f", nullptr, 0, "station=1F"},
        {"[Link0]\nDeviceNo=-1", nullptr, 0, "station=FF"},
        {"[Link0]\nOpenName=host:1:2", nullptr, 6000, "address=host:6000"},
        {"[Link0]\nOpenName=" + longHost + ":1", nullptr, 6000,
         "address=" + longHost.substr(0, 254)},
        // PLC sections end at the first without a usable Name; sorted without
        // regard to case, an equal name takes the earlier one's place.
        {"[Link0.Plc0]\nName=A\n[Link0.Plc2]\nName=C\n", nullptr, 0, "plcs=A"},
        {"[Link0.Plc0]\nName=A\n[Link0.Plc1]\nName=" + name32 + "\n[Link0.Plc2]\nName=C\n", nullptr,
         0, "plcs=A"},
        {"[Link0.Plc0]\nName=b\n[Link0.Plc1]\nName=A\n[Link0.Plc2]\nName=B\nPlcFile=other.plc\n",
         nullptr, 0, "plcs=A,B; plc:b=B other.plc 0 3 0"},
        // No Name in Plc0: one unnamed PLC that still reads Plc0's devices. A
        // 16-bit text size that would wrap stays at the top; Q has 1 byte a
        // unit. Not in the definition file: default properties; no item
        // without Name; the sections end at the first without DeviceName.
        {"[Link0.Plc0]\nRetryNumber=65538\nTimeout=-4\n"
         "[Link0.Plc0.Dev0]\nDeviceName=D\nName=A\nStartAddress=-3\nSize=70000\n"
         "[Link0.Plc0.Dev1]\nDeviceName=d\nName=B\n"
         "[Link0.Plc0.Dev2]\nDeviceName=TC\n"
         "[Link0.Plc0.Dev3]\nDeviceName=M\nName=T\nDataType=8\nSize=3\nLowHiStatus=1\n"
         "[Link0.Plc0.Dev4]\nDeviceName=Q\nName=Q1\nDataType=8\nSize=40000\n"
         "[Link0.Plc0.Dev5]\nDeviceName=D\nName=W\nDataType=8\nSize=40000\n"
         "[Link0.Plc0.Dev6]\nName=NoDevice\n"
         "[Link0.Plc0.Dev7]\nDeviceName=R\nName=Unreached\n",
         kDefinition, 0,
         "plcs=; plc= idec.plc 2 -4 5; D=1 1 r10 n1 hi7999 a3 x1024 i3; D/A=@-3 4464 18/18 0 0 0; "
         "D/B=@0 1 18/18 0 0 0; D/W=@0 40000 8/8 65535 2 0; Q/Q1=@0 40000 8/8 40000 2 0; "
         "TC=0 0 r16 n1 hi128 a3 x8 i0; M/T=@0 3 4094/8 6 1 0; R=<none>"},
        // Before version 3 the text size is StringSize and the size follows from it.
        {"[FileVersion]\nPlcFileVersion=2\n[Link0.Plc0.Dev0]\nDeviceName=D\nName=T\n"
         "DataType=8\nStringSize=5\nSize=9\n",
         kDefinition, 0, "D/T=@0 2 8/8 5 2 0"},
    };
    for (const auto& c : cases) {
        Loaded cfg(c.cfg, c.plcFile, c.port);
        EXPECT_EQ(c.facts != "links=0", cfg.result) << c.cfg;
        ExpectFacts(cfg.table, c.facts, c.cfg);
    }
}

TEST(ConfigLoad, ALoadReplacesTheModelAndAnUnreadableFileLeavesNone) {
    Loaded cfg(kWorkedExample);
    EXPECT_TRUE(config::LoadConfiguration(cfg.table, cfg.path.c_str()));
    EXPECT_EQ("1", Fact(cfg.table, "links"));
    EXPECT_EQ("1 1 r10 n1 hi7999 a3 x1024 i2", Fact(cfg.table, "D"));
    EXPECT_EQ(cfg.Link(), cfg.table.FindLink(W16("")));
    EXPECT_EQ(model::kChannelEthernet, cfg.Link()->OpenParams().channelKind);
    WString missing = cfg.dir.Join("none.cfg");
    EXPECT_TRUE(config::LoadConfiguration(cfg.table, missing.c_str()));
    EXPECT_TRUE(plat::PathExists(missing.c_str()));
    EXPECT_FALSE(config::LoadConfiguration(
        cfg.table, cfg.dir.Write("big.cfg", std::string(CIniFile::kMaxFileSize, ' ')).c_str()));
    EXPECT_EQ(0u, cfg.table.LinkCount());
}

TEST(ConfigLoad, ASerialPortNameMakesASerialLinkWithItsLineSettings) {
    // A port name of this platform: the other platform's stays host:port.
    const std::string port = plat::IsSerialPortName("COM3") ? "COM3" : "/dev/ttyS0";
    const std::string other = plat::IsSerialPortName("COM3") ? "/dev/ttyS0" : "COM3";
    struct Row {
        std::string keys;
        uint16_t kind;
        std::string line; // baud data parity stop
        std::string note;
    } rows[] = {
        {"OpenName=" + port + "\n", model::kChannelSerial, "9600 7E1", ""},
        {"OpenName=" + port + "\nBaudRate=19200\nDataBits=8\nParity=n\nStopBits=2\n",
         model::kChannelSerial, "19200 8N2", ""},
        {"OpenName=" + port + "\nBaudRate=1234\nDataBits=9\nParity=X\nStopBits=0\n",
         model::kChannelSerial, "9600 7E1", "BaudRate=1234, DataBits=9, Parity=X, StopBits=0"},
        {"OpenName=" + port + "\nBaudRate=9600x\nParity=Even\nDataBits=8\n", model::kChannelSerial,
         "9600 8E1", "BaudRate=9600x, Parity=Even"},
        {"OpenName=" + other + "\nBaudRate=19200\n", model::kChannelEthernet, "0 0-0", ""},
        {"OpenName=127.0.0.1:2101\nBaudRate=19200\n", model::kChannelEthernet, "0 0-0", ""},
    };
    for (const Row& r : rows) {
        Loaded cfg("[Link0]\n" + r.keys);
        ASSERT_NE(nullptr, cfg.Link()) << r.keys;
        const IDecOpenParams& p = cfg.Link()->OpenParams();
        EXPECT_EQ(r.kind, p.channelKind) << r.keys;
        const std::string line = std::to_string(p.baudRate) + " " + std::to_string(p.dataBits) +
                                 (p.parity ? std::string(1, p.parity) : "-") +
                                 std::to_string(p.stopBits);
        EXPECT_EQ(r.line, line) << r.keys;
        EXPECT_EQ(r.note, cfg.Link()->LineNote()) << r.keys;
    }
}

TEST(ConfigLoad, ConfiguredItemsSizeTheirBlocksButLeaveItsAccessToTheDefinition) {
    std::string plc = kDefinition;
    plc.replace(plc.find("D,I,Q"), 5, "D,I,Q,TC,CC");
    plc += "TC: TC,Word,Dec,1,0,1023,read,write,\nCC: CC,Word,Dec,1,0,511,read,write,\n";
    Loaded cfg("[Link0.Plc0.Dev0]\nDeviceName=D\nName=Plain\nStartAddress=300\n"
               "[Link0.Plc0.Dev1]\nDeviceName=I\nName=Wide\nStartAddress=5\nDeviceAttribute=3\n"
               "[Link0.Plc0.Dev2]\nDeviceName=TC\nName=Text\nStartAddress=10\nSize=8\n"
               "DataType=8\nDeviceAttribute=3\n"
               "[Link0.Plc0.Dev3]\nDeviceName=Q\nName=Alt\nDataType=8\nSize=4\nLowHiStatus=1\n"
               "[Link0.Plc0.Dev4]\nDeviceName=CC\nName=Count\nDeviceAttribute=3\n",
               plc.c_str());
    CPlc* p = cfg.Plc();
    // Text items (either layout) and "A" reads need the large spare.
    const std::pair<const char*, uint16_t> spare[] = {{"D", model::kExtensionLarge},
                                                      {"TC", model::kExtensionLarge},
                                                      {"Q", model::kExtensionLarge},
                                                      {"CC", model::kExtensionDefault},
                                                      {"I", model::kExtensionDefault}};
    for (const auto& s : spare)
        EXPECT_EQ(s.second, Device(p, s.first)->extension) << s.first;
    CPlcDevice* tc = Device(p, "TC");
    ASSERT_TRUE(tc->RebuildWindow(nullptr, false));
    EXPECT_EQ(8u + model::kExtensionLarge, tc->Window().units);

    // Neither an attribute of 0 nor a wider one than the definition's
    // changes what the host's items of the block may do.
    const struct {
        const char* block;
        const char* configured;
        uint32_t attribute;
        const char* host;
        int32_t address;
        uint32_t access;
    } rows[] = {{"D", "Plain", 0, "D100", 100, 3}, {"I", "Wide", 3, "I15", 15, 1}};
    for (const auto& r : rows) {
        CPlcDevice* b = Device(p, r.block);
        ASSERT_TRUE(b->RebuildWindow(nullptr, false)) << r.block; // as the link's start
        CDeviceItem* host = b->CreateItem(W(r.host).c_str(), r.address, true, 1, 0);
        ASSERT_TRUE(host && host->unitIndex >= 0) << r.host;
        EXPECT_EQ(r.access, b->accessFlags) << r.block;
        EXPECT_EQ(r.access, host->attribute) << r.host;
        EXPECT_EQ(r.access, b->Window().flags[host->unitIndex] & 3u) << r.host;
        EXPECT_EQ(r.attribute, Item(b, r.configured)->attribute) << r.configured;
    }
}

TEST(PlcDefinitionModel, ListedTypesBecomeBlocksAndOddRangesStayBounded) {
    TempDir dir;
    std::string text = kDefinition;
    text.replace(text.find("D,I,Q"), 5, "D,I,Q,Z,H");
    text += "Z: Z,Word,Dec,0,rd,wr,\nH: H,Word,Dec,101";
    for (int r = 0; r < 101; ++r)
        text += "," + std::to_string(r * 2) + "," + std::to_string(r * 2 + 1);
    dir.Write("idec.plc", text + ",rd,wr,\n");
    WString folder = dir.Path() + Sep();
    CPlc plc(nullptr);
    std::strcpy(plc.plcFile, "idec.plc");
    // A block that exists already is marked, not changed.
    CPlcDevice* q = new CPlcDevice(&plc);
    q->SetName(W16("q"));
    ASSERT_TRUE(plc.InsertDevice(q));
    CPlcDevice* x = new CPlcDevice(&plc);
    x->SetName(W16("X"));
    x->listed = 1;
    ASSERT_TRUE(plc.InsertDevice(x));

    EXPECT_TRUE(ReadPlcDefinition(&plc, folder.c_str(), nullptr));
    EXPECT_EQ(6u, plc.DeviceCount());
    // q keeps its defaults, X is no longer listed, Z has no range (the default
    // one stays), H has 101 (the first 100 count).
    const std::pair<const char*, const char*> blocks[] = {{"I", "1 1 r-1 bit n2 hi17 a1 x8 i0"},
                                                          {"q", "1 0 r16 n1 hi128 a3 x8 i0"},
                                                          {"X", "0 0 r16 n1 hi128 a3 x8 i0"},
                                                          {"Z", "1 1 r10 n1 hi128 a3 x8 i0"},
                                                          {"H", "1 1 r10 n100 hi199 a3 x8 i0"}};
    for (const auto& b : blocks)
        EXPECT_EQ(b.second, Block(Device(&plc, b.first))) << b.first;
    EXPECT_EQ(q, Device(&plc, "Q"));
    EXPECT_EQ(10u, Device(&plc, "I")->rangeStart[1]);

    CPlc none(nullptr);
    std::strcpy(none.plcFile, "missing.plc");
    EXPECT_FALSE(ReadPlcDefinition(&none, folder.c_str(), nullptr));
    EXPECT_EQ(0u, none.DeviceCount());
}

TEST(PlcDefinitionModel, DecimalOctalRangeEndingOnNineKeepsItsLastUnitInUse) {
    const std::string text = "CpuName: c\nIndex: M\nM: M,Bit,DecOct,1,0,2559,read,write,\n";
    CPlcDefinitionFile file;
    ASSERT_TRUE(file.LoadText(text.data(), text.size()));
    std::unique_ptr<DeviceTypeRecord> record(new DeviceTypeRecord);
    ASSERT_TRUE(file.ParseDeviceType("M", record.get()));
    CPlc plc(nullptr);
    CPlcDevice* m = GetOrCreatePlcDevice(&plc, *record);
    ASSERT_NE(nullptr, m);
    m->listed = 1;
    EXPECT_EQ(2557u, m->rangeEnd[0]);
    int32_t last = -1, bit = -1;
    ASSERT_TRUE(m->UnitOf(static_cast<int32_t>(m->highestAddress), &last, &bit));
    EXPECT_EQ(255, last);
    EXPECT_EQ(7, bit);
    EXPECT_EQ(256u, m->UnitsInRange(0));
    CDeviceItem* item = m->CreateItem(W16("M2557"), 2557, true, 1, 0);
    ASSERT_TRUE(item && item->attached);
    EXPECT_EQ(last, m->Window().start + item->unitIndex);
    // The range ends at the item's unit: the scan closes its run there.
    EXPECT_EQ(model::kUseRangeEnd, m->Window().useCounts[item->unitIndex]);
}

TEST(PlcDefinitionModel, FileFoundByPlcFileConfigurationFolderAndPlcDir) {
    Loaded rel("[Link0.Plc0]\nName=P\nPlcFile=sub" + Narrow(Sep().c_str()) + "c.plc\n", nullptr);
    EXPECT_EQ(0u, rel.Plc()->DeviceCount());
    ASSERT_TRUE(plat::DirCreate(rel.dir.Join("sub").c_str()));
    rel.dir.Write("sub" + Narrow(Sep().c_str()) + "c.plc", kDefinition);
    EXPECT_TRUE(config::LoadConfiguration(rel.table, rel.path.c_str()));
    EXPECT_EQ(3u, rel.Plc()->DeviceCount());
    std::string absolute = Narrow(rel.dir.Join("sub").c_str()) + Narrow(Sep().c_str()) + "c.plc";
    EXPECT_EQ(3u, Loaded("[Link0.Plc0]\nPlcFile=" + absolute, nullptr).Plc()->DeviceCount());

    WChar out[400];
    WString folder = rel.dir.Path() + Sep(), relative = W16("cfg") + Sep();
    ASSERT_TRUE(PlcDefinitionPath("a.plc", relative.c_str(), folder.c_str(), out, 400));
    EXPECT_EQ(Narrow((folder + relative).c_str()) + "a.plc", Narrow(out));
    EXPECT_FALSE(PlcDefinitionPath("a.plc", WString(300, W16('f')).c_str(), nullptr, out, 400));

    TestRegistry registry;
    ASSERT_TRUE(plat::RegistryWriteText(plat::kHkeyLocalMachine, kOndrelKey, W16("PLCDir"),
                                        (rel.dir.Path() + Sep() + W16("sub")).c_str()));
    WChar plcFolder[plat::kMaxPath];
    PlcDefinitionFolder(plcFolder, plat::kMaxPath);
    EXPECT_EQ(Narrow((folder + W16("sub") + Sep()).c_str()), Narrow(plcFolder));
    CPlc plc(nullptr); // no configuration folder: the definition comes from PLCDir
    std::strcpy(plc.plcFile, "c.plc");
    EXPECT_TRUE(ReadPlcDefinition(&plc, W16(""), plcFolder));
    EXPECT_EQ(3u, plc.DeviceCount());

    ASSERT_TRUE(plat::RegistryDeleteValue(plat::kHkeyLocalMachine, kOndrelKey, W16("PLCDir")));
    PlcDefinitionFolder(plcFolder, plat::kMaxPath);
    EXPECT_EQ(ExeFolder(), Narrow(plcFolder));
}

TEST(ShippedSamples, LoadAsDocumented) {
    TempDir module;
    for (const char* name : {"Nimbro.ini", "NimbroDrvIDec.cfg", "idec.plc"}) {
        std::string text = testutil::ReadFile(W(std::string(NIMBRO_SAMPLE_DIR) + name));
        ASSERT_FALSE(text.empty()) << name;
        module.Write(name, text);
    }
    WChar path[plat::kMaxPath];
    EXPECT_TRUE(config::FindConfigurationFileIn((module.Path() + Sep()).c_str(), path,
                                                plat::kMaxPath, nullptr));
    CLinkTable table;
    EXPECT_TRUE(config::LoadConfiguration(table, path));
    CPlc* plc = table.GetLink(0)->FirstPlc();
    for (const char* t : {"D", "M", "I", "Q", "R", "T", "C", "TC", "TP", "CC", "CP", "P"}) {
        CPlcDevice* d = Device(plc, t);
        ASSERT_NE(nullptr, d) << t;
        EXPECT_EQ(1, d->listed) << t;
        EXPECT_NE(0, model::UnitAccessLetter(d->Name())) << t;
        EXPECT_NE(0u, d->accessFlags & 1) << t;
    }
    EXPECT_EQ(1, Device(plc, "I")->bitDevice);
    EXPECT_EQ(4u, Device(plc, "P")->bytesPerUnit);
    EXPECT_EQ(16, Item(Device(plc, "D"), "Label")->textSize);
    EXPECT_EQ(500u, table.ReadInterval());
}

TEST(DriverModule, NimbroInterfaceLoadsTheConfigurationAndResolvesDevices) {
    // The module built beside this program (<build>/src/driver/), copied to a
    // folder of its own, so that its DebugSetting.ini moves no other test's settings.
    WString built,
        base = W(ExeFolder()) + W16("..") + Sep() + W16("src") + Sep() + W16("driver") + Sep();
    for (const WChar* name : {W16("NimbroDrvIDec.so"), W16("NimbroDrvIDec.dll")})
        if (plat::PathExists((base + name).c_str()))
            built = name;
    // Built before this program (a dependency of it): missing is a failure.
    ASSERT_FALSE(built.empty()) << "no NimbroDrvIDec module in " << Narrow(base.c_str());
    TempDir module, settings;
    std::string image = testutil::ReadFile(base + built);
    WString copy = module.Path() + Sep() + built;
    ASSERT_TRUE(plat::FileWriteAll(copy.c_str(), image.data(), image.size()));
    module.Write("DebugSetting.ini", "[Setting]\nSettingDir=" + Narrow(settings.Path().c_str()));
    settings.Write("Nimbro.ini", "[NimbroDrvIDec]\nSettingFile=plant.cfg\n");
    std::string cfg = kWorkedExample;
    settings.Write("plant.cfg", cfg.replace(cfg.find("10.0.0.5"), 8, "127.0.0.1"));
    settings.Write("idec.plc", kDefinition);

    plat::ModuleHandle h = plat::ModuleLoad(copy.c_str());
    ASSERT_NE(nullptr, h);
    auto create = reinterpret_cast<NimbroInterfaceFn>(plat::ModuleSymbol(h, "NimbroInterface"));
    INimbroDriver* drv = nullptr;
    ASSERT_TRUE(create && create(&drv, 5001, 0) == NIMBRO_S_OK && drv);
    auto resolve = [&](const char* name) { return drv->ResolveDevice(W(name).c_str()); };
    NimbroDevice d = resolve("D");
    ASSERT_NE(nullptr, d);
    for (const char* same : {".D", ".PLC1.D", ".OTHER.D", "d", ".x.d", ".a.b.c.D"})
        EXPECT_EQ(d, resolve(same)) << same;
    for (const char* none : {"Link0.PLC1.D", "X.D", "D.", "M", "", "DD"})
        EXPECT_EQ(nullptr, resolve(none)) << none;
    EXPECT_EQ(nullptr, drv->ResolveDevice(nullptr));
    EXPECT_NE(nullptr, resolve("q"));

    // The handle is the module's device block, with the loaded model behind it.
    CLinkTable& table = *static_cast<CPlcDevice*>(d)->Plc()->Link()->Owner();
    EXPECT_EQ(d, Device(table.GetLink(0)->FirstPlc(), "D"));
    ExpectFacts(table,
                "address=127.0.0.1:5001; read=500; plcs=Press1; D=1 1 r10 n1 hi7999 a3 x1024 i2; "
                "D/Label=@200 8 8/8 16 2 0",
                "module");
    EXPECT_EQ(0u, drv->Release());
    // The module stays loaded, as in a host: unloading is the module tests' subject.
}
