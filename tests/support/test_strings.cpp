#include "support/Strings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "testutil/testutil.h"

using testutil::Narrow;
using testutil::W;
using testutil::WString;

namespace {

const WChar kCanary = 0x7E7E;

// A buffer filled with a canary, to see what a routine wrote and where it stopped.
struct Guarded {
    explicit Guarded(size_t n = 64) : units(n, kCanary) {}
    WChar* data() { return units.data(); }
    std::string Text() const {
        return Narrow(WString(units.begin(), std::find(units.begin(), units.end(), 0)).c_str());
    }
    bool UntouchedFrom(size_t i) const {
        return std::all_of(units.begin() + static_cast<std::ptrdiff_t>(i), units.end(),
                           [](WChar c) { return c == kCanary; });
    }
    std::vector<WChar> units;
};

// The text formatted into cap units; checks the count is what landed in the
// buffer, and that nothing landed beyond cap.
std::string Fmt(int cap, const WChar* fmt, ...) {
    Guarded buf(static_cast<size_t>(cap) + 8);
    va_list args;
    va_start(args, fmt);
    int n = VFormatText(buf.data(), cap, fmt, args);
    va_end(args);
    EXPECT_EQ(static_cast<size_t>(n), plat::WStrLen(buf.data()));
    EXPECT_TRUE(buf.UntouchedFrom(static_cast<size_t>(cap)));
    return buf.Text();
}

#define FMT(...) Fmt(512, __VA_ARGS__)

std::string Shown(const WChar* text) {
    return text ? Narrow(text) : "<null>";
}

} // namespace

TEST(CopyText, CutsAtCapacityAndAlwaysTerminates) {
    const WString ten = W("ABCDEFGHIJ");
    const std::vector<WChar> unterminated(6, 'x'); // exact size: the sanitizers see a read past it
    const struct {
        const WChar* src;
        int cap, n;
        const char* text; // null: nothing written
    } cases[] = {{ten.c_str(), 1, 0, ""},       {ten.c_str(), 5, 4, "ABCD"},
                 {nullptr, 8, 0, ""},           {ten.c_str(), 0, 0, nullptr},
                 {ten.c_str(), -3, 0, nullptr}, {unterminated.data(), 6, 5, "xxxxx"}};
    for (const auto& c : cases) {
        Guarded g;
        EXPECT_EQ(c.n, CopyTextW(g.data(), c.src, c.cap)) << c.cap;
        EXPECT_EQ(c.text ? c.text : "", c.text ? g.Text() : "");
        EXPECT_TRUE(g.UntouchedFrom(c.text ? static_cast<size_t>(c.n) + 1 : 0)) << c.cap;
    }
    EXPECT_EQ(0, CopyTextW(nullptr, ten.c_str(), 8));

    char narrow[16];
    std::memset(narrow, '#', sizeof(narrow));
    EXPECT_EQ(4, CopyTextA(narrow, "abcdefghij", 5));
    EXPECT_STREQ("abcd", narrow);
    EXPECT_EQ('#', narrow[5]);
    EXPECT_EQ(0, CopyTextA(narrow, "abc", 1));
    EXPECT_STREQ("", narrow);
    EXPECT_EQ(0, CopyTextA(nullptr, "abc", 4));
}

TEST(AppendText, AppendsWithinCapacityAndCutsLongTexts) {
    const struct {
        const char *start, *add;
        const char* text;
    } cases[] = {{"ABC", "DEF", "ABCD"},
                 {"ABCDEFG", "XY", "ABCD"},
                 {"AB", "CD", "ABCD"},
                 {"ABCD", "E", "ABCD"}};
    for (const auto& c : cases) {
        Guarded g;
        CopyTextW(g.data(), W(c.start).c_str(), 64);
        std::fill(g.units.begin() + 5, g.units.end(), kCanary);
        EXPECT_TRUE(AppendTextW(g.data(), W(c.add).c_str(), 5));
        EXPECT_EQ(c.text, g.Text()) << c.start << c.add;
        EXPECT_TRUE(g.UntouchedFrom(5));
    }
    Guarded g;
    CopyTextW(g.data(), W16("AB"), 64);
    EXPECT_FALSE(AppendTextW(nullptr, W16("x"), 5));
    EXPECT_FALSE(AppendTextW(g.data(), nullptr, 5));
    EXPECT_FALSE(AppendTextW(g.data(), W16("x"), 0));
    EXPECT_EQ("AB", g.Text());

    // A destination with no terminator within its capacity is cut, not
    // searched past its end.
    std::vector<WChar> full(4, 'z');
    EXPECT_TRUE(AppendTextW(full.data(), W16("q"), 4));
    EXPECT_EQ(0, full[3]);
    EXPECT_EQ('z', full[2]);
}

TEST(CWString, ConvertsAssignsAndReserves) {
    CWString empty("");
    EXPECT_EQ("", Shown(empty.Text()));
    EXPECT_EQ(0, empty.Length());
    CWString none(nullptr);
    EXPECT_EQ("<null>", Shown(none.Text()));
    EXPECT_EQ(0, none.Capacity());
    EXPECT_EQ(0, none.CStr()[0]);
    CWString utf8("Grüße 😀", plat::kCpUtf8);
    EXPECT_EQ(W("Grüße 😀"), WString(utf8.Text()));
    EXPECT_EQ(8, utf8.Length()); // the emoji is a surrogate pair
    // Code page 1252, with MB_PRECOMPOSED, on both backends.
    EXPECT_EQ(W("café €"), WString(CWString("caf\xE9 \x80", 1252).Text()));
    EXPECT_EQ("", Shown(CWString("abc", 4242).Text())); // no such code page

    CWString s("placeholder", plat::kCpUtf8);
    s.Assign("abcdef", 3);
    EXPECT_EQ(W("abc"), WString(s.Text()));
    s.Assign(nullptr);
    EXPECT_EQ("<null>", Shown(s.Text()));
    EXPECT_EQ(0, s.Capacity());
    s.Assign("xyz");
    EXPECT_TRUE(s.Reserve(10)); // below the capacity: kept
    EXPECT_EQ(W("xyz"), WString(s.Text()));
    EXPECT_TRUE(s.Reserve(33));
    EXPECT_GE(s.Capacity(), 33);
    EXPECT_FALSE(s.Reserve(INT32_MAX));
    EXPECT_EQ("<null>", Shown(s.Text()));
    EXPECT_EQ(0, s.Capacity());
}

TEST(CMString, ConvertsToUtf8AndOtherPages) {
    CMString utf8(W("Grüße 😀").c_str());
    EXPECT_EQ(plat::kCpUtf8, utf8.CodePage());
    EXPECT_STREQ("Grüße 😀", utf8.Text());
    CMString part(nullptr);
    EXPECT_TRUE(part.Assign(W16("hello"), 4));
    EXPECT_STREQ("hell", part.Text());
    EXPECT_TRUE(part.Assign(nullptr));
    EXPECT_EQ(nullptr, part.Text());
    CMString big(W(std::string(31, 'm') + "é").c_str()); // 33 bytes in UTF-8
    EXPECT_GE(big.Capacity(), 34);
    EXPECT_EQ(33, big.Length());
    EXPECT_STREQ("caf\xE9 \x80", CMString(W("café €").c_str(), 1252).Text());
    // A round trip through the ANSI page gives the text back.
    CMString ansi(W16("Plc0.Dev1"), plat::kCpAcp);
    EXPECT_EQ(W("Plc0.Dev1"), WString(CWString(ansi.Text(), plat::kCpAcp).Text()));
}

TEST(MakeFullPath, JoinsFolderAndName) {
    const WString sep(1, plat::kPathSep), name = W("idec.plc");
    const WString folder = W("base") + sep + W("cfg"), slashed = folder + sep;
    const WString joined = slashed + name;
    WChar out[plat::kMaxPath];
    const struct {
        const WChar* path;
        const WChar* folder;
        bool joins;
        WString result;
    } cases[] = {
        {name.c_str(), slashed.c_str(), true, joined},
        {name.c_str(), folder.c_str(), true, joined},
        {name.c_str(), W16(""), true, sep + name},
        {name.c_str(), nullptr, true, sep + name},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.joins, MakeFullPath(c.path, out, c.folder));
        EXPECT_EQ(c.result, WString(out));
    }
    const WString rooted = sep + name;
    if (plat::PathIsAbsolute(rooted.c_str())) {
        EXPECT_FALSE(MakeFullPath(rooted.c_str(), out, slashed.c_str()));
        EXPECT_EQ(rooted, WString(out));
    } else {
        // No doubled separator.
        EXPECT_TRUE(MakeFullPath(rooted.c_str(), out, slashed.c_str()));
        EXPECT_EQ(folder + rooted, WString(out));
    }
    EXPECT_FALSE(MakeFullPath(nullptr, out, folder.c_str()));
    // Absolute paths are taken unchanged (the rules differ by platform).
    int absolute = 0;
    for (const WString& p : {W("D:\\x.plc"), W("/x.plc")}) {
        if (plat::PathIsAbsolute(p.c_str())) {
            ++absolute;
            EXPECT_FALSE(MakeFullPath(p.c_str(), out, folder.c_str()));
            EXPECT_EQ(p, WString(out));
        }
    }
    EXPECT_GT(absolute, 0);

    // In place, within the result's capacity.
    CopyTextW(out, name.c_str(), plat::kMaxPath);
    EXPECT_TRUE(MakeFullPath(out, out, W16("cfg")));
    EXPECT_EQ(W("cfg") + sep + name, WString(out));
    Guarded small;
    EXPECT_TRUE(MakeFullPath(name.c_str(), small.data(), W16("folder"), 10));
    EXPECT_EQ(9u, small.Text().size());
    EXPECT_TRUE(small.UntouchedFrom(10));
    // Longer than a path buffer: cut to it; a caller with a larger buffer gets the whole join.
    const WString longFolder = W(std::string(300, 'f'));
    Guarded path(plat::kMaxPath + 16);
    EXPECT_TRUE(MakeFullPath(W16("x"), path.data(), longFolder.c_str()));
    EXPECT_EQ(plat::kMaxPath - 1, path.Text().size());
    EXPECT_TRUE(path.UntouchedFrom(plat::kMaxPath));
    Guarded wide(600);
    EXPECT_TRUE(MakeFullPath(W16("x"), wide.data(), longFolder.c_str(), 600));
    EXPECT_EQ(longFolder + sep + W("x"), W(wide.Text()));
}

TEST(FormatText, BoundsAndTermination) {
    EXPECT_EQ("abcd", Fmt(5, W16("abcd")));  // exact fit
    EXPECT_EQ("abcd", Fmt(5, W16("abcde"))); // one too many
    EXPECT_EQ("abcd", Fmt(5, W16("%s"), W16("abcdefgh")));
    EXPECT_EQ("12", Fmt(3, W16("%d"), 12345));
    EXPECT_EQ("", Fmt(1, W16("abc")));
    Guarded g(4);
    EXPECT_EQ(0, FormatText(g.data(), 0, W16("abc")));
    EXPECT_TRUE(g.UntouchedFrom(0));
    EXPECT_EQ(0, FormatText(nullptr, 10, W16("abc")));
    EXPECT_EQ(0, FormatText(g.data(), 4, nullptr));
    EXPECT_EQ(0, g.units[0]);
    // A huge width costs nothing once the buffer is full.
    EXPECT_EQ(std::string(15, ' '), Fmt(16, W16("%1000000000d"), 1));
    EXPECT_EQ(std::string(15, ' '), Fmt(16, W16("%*s"), INT_MAX, W16("x")));
}

TEST(FormatText, TextAndCharacters) {
    EXPECT_EQ("[Link0] 100%", FMT(W16("[%s] %d%%"), W16("Link0"), 100));
    EXPECT_EQ("(null)", FMT(W16("%s"), static_cast<const WChar*>(nullptr)));
    EXPECT_EQ("narrow text", FMT(W16("%S"), "narrow text"));
    EXPECT_EQ("ab|both", FMT(W16("%hs|%ls"), "ab", W16("both")));
    EXPECT_EQ("  abc|abc  |ab", FMT(W16("%5s|%-5s|%.2s"), W16("abc"), W16("abc"), W16("abc")));
    EXPECT_EQ("   ab", FMT(W16("%5.2S"), "abcdef"));
    EXPECT_EQ("A é x  |  y|Z", FMT(W16("%c %c %-3c|%3c|%C"), 'A', 0xE9, 'x', 'y', 'Z'));
    EXPECT_EQ("Grüße", FMT(W16("%s"), W("Grüße").c_str()));
    // Longer than any stack buffer inside.
    std::string longNarrow(1000, 'n');
    EXPECT_EQ(longNarrow, Fmt(1100, W16("%S"), longNarrow.c_str()));
    // Unknown conversions are shown and take no argument.
    EXPECT_EQ("%q 5", FMT(W16("%q %d"), 5));
    EXPECT_EQ("100%", FMT(W16("%d%"), 100));
}

TEST(FormatText, Integers) {
    EXPECT_EQ("0000BEEF", FMT(W16("%08X"), 0xBEEFu));
    EXPECT_EQ("beef|0xbeef|0XBEEF", FMT(W16("%x|%#x|%#X"), 0xBEEFu, 0xBEEFu, 0xBEEFu));
    EXPECT_EQ("17|017|0|0", FMT(W16("%o|%#o|%#o|%#x"), 15u, 15u, 0u, 0u));
    EXPECT_EQ("  -42|-42  |-0042|+5| 5", FMT(W16("%5d|%-5d|%05d|%+d|% d"), -42, -42, -42, 5, 5));
    EXPECT_EQ("007|   007|", FMT(W16("%.3d|%6.3d|%.0d"), 7, 7, 0));
    EXPECT_EQ("4294967295", FMT(W16("%u"), -1));
    EXPECT_EQ("-1|255|-128", FMT(W16("%hd|%hhu|%hhd"), 65535, 255, 128));
    EXPECT_EQ("-9223372036854775808", FMT(W16("%lld"), LLONG_MIN));
    EXPECT_EQ("18446744073709551615|FFFFFFFFFFFFFFFF", FMT(W16("%I64u|%I64X"), ~0ull, ~0ull));
    EXPECT_EQ("-2147483648|2147483647", FMT(W16("%ld|%I32d"), -2147483647L - 1, INT_MAX));
    EXPECT_EQ("123456|-7", FMT(W16("%zu|%Id"), static_cast<size_t>(123456), ptrdiff_t(-7)));
    EXPECT_EQ("   42|42   |", FMT(W16("%*d|%*d|"), 5, 42, -5, 42));
    EXPECT_EQ("00042", FMT(W16("%.*d"), 5, 42));
    int local = 0;
    std::string p = FMT(W16("%p"), static_cast<void*>(&local));
    ASSERT_EQ(sizeof(void*) * 2, p.size());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&local),
              static_cast<uintptr_t>(std::stoull(p, nullptr, 16)));
}

TEST(FormatText, FloatingPoint) {
    EXPECT_EQ(
        "3.141590|3.14|   3.142|3.1     |-0003.14",
        FMT(W16("%f|%.2f|%8.3f|%-8.1f|%08.2f"), 3.14159, 3.14159, 3.14159, 3.14159, -3.14159));
    EXPECT_EQ("+2.50|1.234568e+04|1.2346E+04",
              FMT(W16("%+.2f|%e|%.4E"), 2.5, 12345.678, 12345.678));
    EXPECT_EQ("0.0001|1E-10|100000|1e+06", FMT(W16("%g|%G|%g|%g"), 0.0001, 1e-10, 1e5, 1e6));
    EXPECT_EQ("2.|0.000", FMT(W16("%#.0f|%.3f"), 2.0, 0.0));
    EXPECT_EQ("1.5", FMT(W16("%.1Lf"), static_cast<long double>(1.5)));
    // More digits than the formatter keeps on its stack.
    std::string huge = FMT(W16("%.2f"), 1e300);
    EXPECT_EQ(304u, huge.size());
    EXPECT_EQ(".00", huge.substr(301));
    EXPECT_EQ('1', huge[0]);
}
