#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "NimbroDriver.h"
#include "model/Configuration.h"
#include "model/IniFile.h"
#include "model/LinkModel.h"
#include "model/PlcDefinition.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/registry_write.h"
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
    // Nothing there: an empty Nimbro.ini is created, the default name used.
    EXPECT_TRUE(
        config::FindConfigurationFileIn(moduleFolder.c_str(), out, plat::kMaxPath, &logDetail));
    EXPECT_EQ(Folder(module) + "NimbroDrvIDec.cfg", Narrow(out));
    EXPECT_TRUE(plat::PathExists(module.Join("Nimbro.ini").c_str()));
    EXPECT_EQ(0, logDetail);

    // DebugSetting.ini moves the settings folder (a separator added when missing).
    for (const std::string& dir : {Narrow(settings.Path().c_str()), Folder(settings)}) {
        module.Write("DebugSetting.ini", "[Setting]\nSettingDir=" + dir);
        config::SettingsFolder(moduleFolder.c_str(), out, plat::kMaxPath);
        EXPECT_EQ(Folder(settings), Narrow(out));
    }
    settings.Write("Nimbro.ini", "[NimbroDrvIDec]\nSettingFile=plant.cfg\n[HttpServer]\n"
                                 "LogDetail=4\n");
    EXPECT_TRUE(
        config::FindConfigurationFileIn(moduleFolder.c_str(), out, plat::kMaxPath, &logDetail));
    EXPECT_EQ(Folder(settings) + "plant.cfg", Narrow(out));
    EXPECT_EQ(4, logDetail);
    // Present without a usable SettingDir: an empty settings folder.
    for (const char* text : {"[Setting]\nSettingDir=\n", "[Other]\nSettingDir=x\n"}) {
        module.Write("DebugSetting.ini", text);
        config::SettingsFolder(moduleFolder.c_str(), out, plat::kMaxPath);
        EXPECT_EQ("", Narrow(out));
    }

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
    std::string absolute = Narrow(elsewhere.Join("a.cfg").c_str());
    EXPECT_EQ(absolute, find(absolute));
    EXPECT_EQ(joined, find("sub" + sep + "a.cfg"));
    // A leading separator is not doubled, unless it makes the path absolute (POSIX).
    std::string rooted = sep + "sub" + sep + "a.cfg";
    EXPECT_EQ(plat::PathIsAbsolute(W(rooted).c_str()) ? rooted : joined, find(rooted));
    EXPECT_EQ(Folder(module) + "NimbroDrvIDec.cfg", find(""));
    EXPECT_EQ(Folder(module) + " b.cfg ", find(" b.cfg ")); // not trimmed
    EXPECT_EQ("", find(std::string(250, 'x') + ".cfg"));    // too long once joined
}

TEST(ConfigLoad, WorkedExampleBuildsTheModel) {
    Loaded cfg(kWorkedExample);
    EXPECT_TRUE(cfg.result);
    EXPECT_EQ(100u, cfg.table.ScanPeriod());
    EXPECT_EQ(500u, cfg.table.ReadInterval());
    ASSERT_EQ(1u, cfg.table.LinkCount());
    CPlcDrvLink* link = cfg.table.FindLink(W16(""));
    ASSERT_EQ(cfg.Link(), link);
    EXPECT_STREQ("10.0.0.5:2101", link->AddressText());
    EXPECT_STREQ("01", link->StationText());
    EXPECT_EQ(model::kChannelEthernet, link->OpenParams().channelKind);
    ASSERT_EQ(1u, link->PlcCount());
    CPlc* plc = cfg.Plc();
    EXPECT_EQ("Press1", Narrow(plc->Name()));
    EXPECT_STREQ("idec.plc", plc->plcFile);

    ASSERT_EQ(3u, plc->DeviceCount()); // D, I, Q of the definition file
    CPlcDevice* d = Device(plc, "d");
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(1, d->listed);
    EXPECT_EQ(7999u, d->highestAddress);
    EXPECT_EQ(2u, d->ItemCount());
    CDeviceItem* speed = Item(d, "Speed");
    CDeviceItem* label = Item(d, "label");
    ASSERT_TRUE(speed && label);
    EXPECT_EQ(100, speed->startAddress);
    EXPECT_EQ(2, speed->size);
    EXPECT_EQ(19, speed->dataType);
    EXPECT_EQ(3u, speed->attribute);
    EXPECT_EQ(200, label->startAddress);
    EXPECT_EQ(8, label->dataType);
    EXPECT_EQ(16, label->textSize);
    EXPECT_EQ(2, label->lowHiStatus);
    EXPECT_EQ(0u, label->attribute);

    // The host's port replaces the one of OpenName; a new load replaces the model.
    cfg.table.SetHostPort(5000);
    EXPECT_TRUE(config::LoadConfiguration(cfg.table, cfg.path.c_str()));
    ASSERT_EQ(1u, cfg.table.LinkCount());
    EXPECT_STREQ("10.0.0.5:5000", cfg.Link()->AddressText());
    EXPECT_EQ(2u, Device(cfg.Plc(), "D")->ItemCount());
}

TEST(ConfigLoad, DefaultsLimitsAndStationText) {
    TempDir dir;
    CLinkTable table;
    table.SetHostPort(5000);
    WString path = dir.Join("none.cfg");
    EXPECT_TRUE(config::LoadConfiguration(table, path.c_str()));
    EXPECT_TRUE(plat::PathExists(path.c_str()));
    EXPECT_EQ(50u, table.ScanPeriod());
    EXPECT_EQ(250u, table.ReadInterval());
    CPlcDrvLink* link = table.GetLink(0);
    ASSERT_TRUE(link && link->PlcCount() == 1);
    EXPECT_STREQ("", link->AddressText());
    EXPECT_STREQ("00", link->StationText());
    EXPECT_EQ("", Narrow(link->FirstPlc()->Name()));
    EXPECT_STREQ("idec.plc", link->FirstPlc()->plcFile);
    EXPECT_EQ(0u, link->FirstPlc()->DeviceCount());
    // An unreadable configuration, or a version above 3000, leaves the table empty.
    EXPECT_FALSE(config::LoadConfiguration(
        table, dir.Write("big.cfg", std::string(CIniFile::kMaxFileSize, ' ')).c_str()));
    EXPECT_EQ(0u, table.LinkCount());
    EXPECT_EQ(1u, Loaded("[FileVersion]\nPlcFileVersion=3000\n").table.LinkCount());
    for (const char* v : {"3001", "-1"})
        EXPECT_EQ(0u, Loaded(std::string("[FileVersion]\nPlcFileVersion=") + v).table.LinkCount());

    const struct {
        const char* keys;
        uint32_t scan, read;
    } timing[] = {{"OPCScanTiming=0", 10, 50},
                  {"OPCScanTiming=6000", 5000, 25000},
                  {"OPCScanTiming=-1", 5000, 25000},
                  {"OPCScanTiming=100", 100, 500},
                  {"OPCScanTiming=100\nReadDeviceTimer=5", 100, 10},
                  {"OPCScanTiming=100\nReadDeviceTimer=300", 100, 300}};
    for (const auto& c : timing) {
        Loaded cfg(std::string("[PlcConfig]\n") + c.keys);
        EXPECT_EQ(c.scan, cfg.table.ScanPeriod()) << c.keys;
        EXPECT_EQ(c.read, cfg.table.ReadInterval()) << c.keys;
    }
    auto link0 = [](const std::string& keys, uint32_t port, bool station) {
        Loaded cfg("[Link0]\n" + keys, nullptr, port);
        return std::string(station ? cfg.Link()->StationText() : cfg.Link()->AddressText());
    };
    const std::pair<const char*, const char*> stations[] = {
        {"300", "FF"}, {"65537", "01"}, {"10", "0A"}, {"0x1f", "1F"}, {"-1", "FF"}};
    for (const auto& c : stations)
        EXPECT_EQ(c.second, link0(std::string("DeviceNo=") + c.first, 0, true)) << c.first;
    EXPECT_EQ("host:6000", link0("OpenName=host:1:2", 6000, false));
    EXPECT_EQ(254u, link0("OpenName=" + std::string(300, 'h') + ":1", 6000, false).size());
}

TEST(ConfigLoad, PlcAndDeviceSections) {
    EXPECT_EQ(1u, Loaded("[Link0.Plc0]\nName=A\n[Link0.Plc2]\nName=C\n").Link()->PlcCount());
    EXPECT_EQ(1u, Loaded("[Link0.Plc0]\nName=A\n[Link0.Plc1]\nName=" + std::string(32, 'n') +
                         "\n[Link0.Plc2]\nName=C\n")
                      .Link()
                      ->PlcCount());
    // Sorted without regard to case; an equal name takes the earlier one's place.
    Loaded order("[Link0.Plc0]\nName=b\n[Link0.Plc1]\nName=A\n[Link0.Plc2]\nName=B\n"
                 "PlcFile=other.plc\n");
    ASSERT_EQ(2u, order.Link()->PlcCount());
    EXPECT_EQ("A", Narrow(order.Plc()->Name()));
    EXPECT_STREQ("other.plc", order.Link()->FindPlc(W16("b"))->plcFile);

    // No Name in Plc0: one unnamed PLC that still reads Plc0's devices.
    Loaded cfg("[Link0.Plc0]\nRetryNumber=65538\nTimeout=-4\n"
               "[Link0.Plc0.Dev0]\nDeviceName=D\nName=A\nStartAddress=-3\nSize=70000\n"
               "[Link0.Plc0.Dev1]\nDeviceName=d\nName=B\n"
               "[Link0.Plc0.Dev2]\nDeviceName=TC\n"
               "[Link0.Plc0.Dev3]\nDeviceName=M\nName=T\nDataType=8\nSize=3\nLowHiStatus=1\n"
               "[Link0.Plc0.Dev4]\nDeviceName=Q\nName=Q1\nDataType=8\nSize=40000\n"
               "[Link0.Plc0.Dev5]\nDeviceName=D\nName=W\nDataType=8\nSize=40000\n"
               "[Link0.Plc0.Dev6]\nName=NoDevice\n"
               "[Link0.Plc0.Dev7]\nDeviceName=R\nName=Unreached\n");
    CPlc* plc = cfg.Plc();
    ASSERT_EQ(1u, cfg.Link()->PlcCount());
    EXPECT_EQ("", Narrow(plc->Name()));
    EXPECT_EQ(2, plc->retryNumber);
    EXPECT_EQ(-4, plc->timeout);
    CPlcDevice* d = Device(plc, "D");
    ASSERT_EQ(3u, d->ItemCount());
    EXPECT_EQ(-3, Item(d, "A")->startAddress);
    EXPECT_EQ(static_cast<uint16_t>(70000), Item(d, "A")->size);
    // A 16-bit text size that would wrap stays at the top.
    EXPECT_EQ(65535, Item(d, "W")->textSize);
    EXPECT_EQ(40000, Item(Device(plc, "Q"), "Q1")->textSize); // 1 byte per unit
    // Not in the definition file: default properties; no item without Name.
    CPlcDevice* tc = Device(plc, "TC");
    ASSERT_NE(nullptr, tc);
    EXPECT_EQ(0u, tc->ItemCount());
    EXPECT_EQ(0, tc->defined);
    EXPECT_EQ(128u, tc->highestAddress);
    CDeviceItem* text = Item(Device(plc, "M"), "T");
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(model::kTypeAltText, text->dataType);
    EXPECT_EQ(model::kTypeText, text->baseDataType);
    EXPECT_EQ(6, text->textSize);
    EXPECT_EQ(nullptr, Device(plc, "R"));

    // Before version 3 the text size is StringSize and the size follows from it.
    Loaded v2("[FileVersion]\nPlcFileVersion=2\n[Link0.Plc0.Dev0]\nDeviceName=D\nName=T\n"
              "DataType=8\nStringSize=5\nSize=9\n");
    EXPECT_EQ(5, Item(Device(v2.Plc(), "D"), "T")->textSize);
    EXPECT_EQ(2, Item(Device(v2.Plc(), "D"), "T")->size);
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

TEST(ConfigLoad, AtMostSixtyFiveThousandFiveHundredDeviceSections) {
    // Spread over 64 blocks: the bound is tested here, not large arrays.
    std::string cfg = "[Link0.Plc0]\nName=P\n";
    char buf[96];
    for (uint32_t m = 0; m <= config::kMaxDeviceSections; ++m) {
        std::snprintf(buf, sizeof buf, "[Link0.Plc0.Dev%u]\nDeviceName=B%02u\nName=I%05u\n", m,
                      m % 64, m);
        cfg += buf;
    }
    Loaded big(cfg, nullptr);
    CPlc* plc = big.Plc();
    ASSERT_EQ(64u, plc->DeviceCount());
    uint32_t items = 0;
    for (uint32_t i = 0; i < plc->DeviceCount(); ++i)
        items += plc->GetDevice(i)->ItemCount();
    EXPECT_EQ(config::kMaxDeviceSections, items);
    EXPECT_NE(nullptr, Item(Device(plc, "B27"), "I65499"));
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
    ASSERT_EQ(6u, plc.DeviceCount());
    CPlcDevice* i = Device(&plc, "I");
    EXPECT_EQ(1, i->bitDevice);
    EXPECT_EQ(10u, i->rangeStart[1]);
    EXPECT_EQ(17u, i->highestAddress);
    EXPECT_EQ(16, q->radix); // untouched defaults
    EXPECT_EQ(0, q->defined);
    EXPECT_EQ(1, q->listed);
    EXPECT_EQ(0, x->listed);
    CPlcDevice* z = Device(&plc, "Z"); // no range: the default one stays
    EXPECT_EQ(1, z->defined);
    EXPECT_EQ(1u, z->rangeCount);
    EXPECT_EQ(128u, z->highestAddress);
    EXPECT_EQ(3u, z->accessFlags);
    CPlcDevice* h = Device(&plc, "H"); // 101 ranges: the first 100
    EXPECT_EQ(100u, h->rangeCount);
    EXPECT_EQ(199u, h->highestAddress);
    EXPECT_EQ(3u, h->accessFlags);

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
    EXPECT_EQ(12u, plc->DeviceCount());
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
    auto* block = static_cast<CPlcDevice*>(d);
    EXPECT_EQ(7999u, block->highestAddress);
    EXPECT_EQ("Press1", Narrow(block->Plc()->Name()));
    CPlcDrvLink* link = block->Plc()->Link();
    EXPECT_STREQ("127.0.0.1:5001", link->AddressText());
    EXPECT_EQ(500u, link->Owner()->ReadInterval());
    ASSERT_NE(nullptr, Item(block, "Label"));
    EXPECT_EQ(16, Item(block, "Label")->textSize);
    EXPECT_EQ(0u, drv->Release());
    // The module stays loaded, as in a host: unloading is the module tests' subject.
}
