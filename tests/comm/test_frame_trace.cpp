// The frame trace: what a record says, the size bound with its one rotation,
// and the settings key that turns it on.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "comm/FrameTrace.h"
#include "model/Configuration.h"
#include "platform/file.h"
#include "testutil/testutil.h"

namespace {

using testutil::TempDir;
using testutil::WString;

const uint8_t kRequest[] = {0x05, '0', '1', '0', 'R', 'A', '0', '0', '0', '0',
                            '0',  '0', '6', '4', '1', '2', '2', '6', 0x0D};
const uint8_t kReply[] = {0x06, '0', '1', '0', '0', '4', 'D', '2', 0x7F, 0x0D};

TEST(FrameTrace, RecordsNameTimeLinkDirectionBytesAndVerdict) {
    TempDir dir;
    const WString path = dir.Join("frames.log");
    {
        idec::CFrameTrace trace(path.c_str(), W16("Line 1"));
        trace.Request(kRequest, sizeof kRequest);
        trace.Reply(kReply, sizeof kReply, 0);
        trace.NoReply(13);
    }
    const std::string text = testutil::ReadFile(path);
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} link "Line 1" )";
    for (const char* record :
         {R"(> <ENQ>010RA000000641226<CR>\r\n)", R"(< <ACK>01004D2<7F><CR> = 0 NO_ERROR)",
          R"(! \(no reply\) = 13 RECV_TIME_OUT)"})
        EXPECT_TRUE(std::regex_search(text, std::regex(stamp + record))) << record << "\n" << text;
}

TEST(FrameTrace, StaysWithinItsBoundWithOneRotation) {
    TempDir dir;
    const WString path = dir.Join("frames.log");
    const WString old = dir.Join("frames.log.1");
    const int64_t bound = 1000;
    {
        idec::CFrameTrace trace(path.c_str(), W16(""), bound);
        for (int i = 0; i < 200; ++i)
            trace.Request(kRequest, sizeof kRequest);
    }
    const std::string now = testutil::ReadFile(path);
    const std::string before = testutil::ReadFile(old);
    EXPECT_FALSE(now.empty());
    EXPECT_FALSE(before.empty()) << "the full file was rotated";
    EXPECT_LE(static_cast<int64_t>(now.size()), bound);
    EXPECT_LE(static_cast<int64_t>(before.size()), bound);
    // Whole records only: a rotation never splits one.
    const std::regex record(R"((\d{4}-[^\r\n]* > <ENQ>010RA000000641226<CR>\r\n)+)");
    EXPECT_TRUE(std::regex_match(now, record));
    EXPECT_TRUE(std::regex_match(before, record));
}

TEST(FrameTrace, AFileThatCannotBeOpenedIsIgnored) {
    TempDir dir;
    // A folder stands where the file should be: nothing is written, nothing fails.
    idec::CFrameTrace trace(dir.Path().c_str(), W16("x"));
    trace.Request(kRequest, sizeof kRequest);
    trace.Reply(kReply, sizeof kReply, 0);
    EXPECT_TRUE(plat::PathExists(dir.Path().c_str()));
}

// No key, an empty value, or a name that would have to be cut: no trace.
TEST(FrameTrace, SettingsKeyNamesTheFileBesideTheSettings) {
    TempDir dir;
    WString folder = dir.Path();
    if (!plat::IsPathSep(folder.back()))
        folder += plat::kPathSep;
    const std::string lines[] = {"SettingFile=a.cfg", "TraceFile=", "TraceFile=frames.log",
                                 "TraceFile=" + std::string(250, 'x')};
    for (const std::string& line : lines) {
        WChar out[plat::kMaxPath] = {1, 0};
        dir.Write("Nimbro.ini", "[NimbroDrvIDec]\r\n" + line + "\r\n");
        const bool traced = line == "TraceFile=frames.log";
        EXPECT_EQ(traced, config::TraceFileIn(folder.c_str(), out, plat::kMaxPath)) << line;
        EXPECT_EQ(traced ? folder + W16("frames.log") : WString(), WString(out)) << line;
    }
}

} // namespace
