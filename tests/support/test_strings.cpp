#include "support/Strings.h"

#include <gtest/gtest.h>

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
    std::string Text() const { return Narrow(units.data()); }
    bool UntouchedFrom(size_t i) const {
        for (; i < units.size(); ++i)
            if (units[i] != kCanary)
                return false;
        return true;
    }
    std::vector<WChar> units;
};

std::string Fmt(int cap, const WChar* fmt, ...) {
    std::vector<WChar> buf(static_cast<size_t>(cap > 0 ? cap : 1) + 8, kCanary);
    va_list args;
    va_start(args, fmt);
    int n = VFormatText(buf.data(), cap, fmt, args);
    va_end(args);
    std::string text = cap > 0 ? Narrow(buf.data()) : std::string();
    // The count is what landed in the buffer, and nothing landed beyond cap.
    EXPECT_EQ(static_cast<size_t>(n), cap > 0 ? plat::WStrLen(buf.data()) : 0u);
    for (size_t i = static_cast<size_t>(cap > 0 ? cap : 0); i < buf.size(); ++i)
        EXPECT_EQ(kCanary, buf[i]) << "written past cap at " << i;
    return text;
}

std::string Fmt(const WChar* fmt, ...) {
    WChar buf[512];
    va_list args;
    va_start(args, fmt);
    int n = VFormatText(buf, 512, fmt, args);
    va_end(args);
    EXPECT_EQ(static_cast<size_t>(n), plat::WStrLen(buf));
    return Narrow(buf);
}

} // namespace

TEST(CopyText, CutsAtCapacityAndAlwaysTerminates) {
    const WString ten = W("ABCDEFGHIJ");
    Guarded one;
    EXPECT_EQ(0, CopyTextW(one.data(), ten.c_str(), 1));
    EXPECT_EQ(0, one.units[0]);
    EXPECT_TRUE(one.UntouchedFrom(1));

    Guarded five;
    EXPECT_EQ(4, CopyTextW(five.data(), ten.c_str(), 5));
    EXPECT_EQ("ABCD", five.Text());
    EXPECT_TRUE(five.UntouchedFrom(5));

    Guarded nullSrc;
    EXPECT_EQ(0, CopyTextW(nullSrc.data(), nullptr, 8));
    EXPECT_EQ(0, nullSrc.units[0]);

    EXPECT_EQ(0, CopyTextW(nullSrc.data(), ten.c_str(), 0));
    EXPECT_EQ(0, CopyTextW(nullSrc.data(), ten.c_str(), -3));
    EXPECT_TRUE(nullSrc.UntouchedFrom(1));
    EXPECT_EQ(0, CopyTextW(nullptr, ten.c_str(), 8));

    // An unterminated source in an exact-size block: the sanitizers see any
    // read past it.
    std::vector<WChar> src(6, 'x');
    EXPECT_EQ(5, CopyTextW(five.data(), src.data(), 6));
    EXPECT_EQ("xxxxx", five.Text());

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
    Guarded a;
    CopyTextW(a.data(), W16("ABC"), 64);
    EXPECT_TRUE(AppendTextW(a.data(), W16("DEF"), 5));
    EXPECT_EQ("ABCD", a.Text());
    EXPECT_TRUE(a.UntouchedFrom(5));

    Guarded b;
    CopyTextW(b.data(), W16("ABCDEFG"), 64);
    EXPECT_TRUE(AppendTextW(b.data(), W16("XY"), 5));
    EXPECT_EQ("ABCD", b.Text());

    Guarded c;
    CopyTextW(c.data(), W16("AB"), 64);
    EXPECT_TRUE(AppendTextW(c.data(), W16("CD"), 5)); // exact fit
    EXPECT_EQ("ABCD", c.Text());
    EXPECT_TRUE(AppendTextW(c.data(), W16("E"), 5)); // no room left
    EXPECT_EQ("ABCD", c.Text());

    EXPECT_FALSE(AppendTextW(nullptr, W16("x"), 5));
    EXPECT_FALSE(AppendTextW(c.data(), nullptr, 5));
    EXPECT_FALSE(AppendTextW(c.data(), W16("x"), 0));
    EXPECT_EQ("ABCD", c.Text());

    // A destination with no terminator within its capacity is cut, not
    // searched past its end.
    std::vector<WChar> full(4, 'z');
    EXPECT_TRUE(AppendTextW(full.data(), W16("q"), 4));
    EXPECT_EQ(0, full[3]);
    EXPECT_EQ('z', full[2]);
}

TEST(CWString, ConvertsIntoBuffersOf32Units) {
    CWString empty("");
    ASSERT_NE(nullptr, empty.Text());
    EXPECT_EQ(32, empty.Capacity());
    EXPECT_EQ(0, empty.Text()[0]);
    EXPECT_EQ(0, empty.Length());

    CWString none(nullptr);
    EXPECT_EQ(nullptr, none.Text());
    EXPECT_EQ(0, none.Capacity());
    EXPECT_EQ(0, none.CStr()[0]);

    CWString utf8("Gr\xC3\xBC\xC3\x9F"
                  "e \xF0\x9F\x98\x80",
                  plat::kCpUtf8);
    EXPECT_EQ(W("Grüße 😀"), WString(utf8.Text()));
    EXPECT_EQ(8, utf8.Length()); // the emoji is a surrogate pair

    // Code page 1252, with MB_PRECOMPOSED, on both backends.
    CWString latin("caf\xE9 \x80", 1252);
    EXPECT_EQ(W("café €"), WString(latin.Text()));
}

TEST(CWString, AssignReserveAndFailedConversion) {
    CWString s("placeholder", plat::kCpUtf8);
    s.Assign("abcdef", 3);
    EXPECT_EQ(W("abc"), WString(s.Text()));
    s.Assign(nullptr);
    EXPECT_EQ(nullptr, s.Text());
    EXPECT_EQ(0, s.Capacity());

    s.Assign("xyz");
    EXPECT_TRUE(s.Reserve(10)); // below the capacity: kept
    EXPECT_EQ(W("xyz"), WString(s.Text()));
    EXPECT_EQ(32, s.Capacity());
    EXPECT_TRUE(s.Reserve(32)); // not below: a fresh buffer
    EXPECT_EQ(32, s.Capacity());
    EXPECT_TRUE(s.Reserve(33));
    EXPECT_EQ(64, s.Capacity());
    EXPECT_FALSE(s.Reserve(INT32_MAX));
    EXPECT_EQ(nullptr, s.Text());
    EXPECT_EQ(0, s.Capacity());

    CWString bad("abc", 4242); // no such code page
    ASSERT_NE(nullptr, bad.Text());
    EXPECT_EQ(0, bad.Text()[0]);
}

TEST(CMString, ConvertsToUtf8AndOtherPages) {
    CMString utf8(W("Grüße 😀").c_str());
    EXPECT_EQ(plat::kCpUtf8, utf8.CodePage());
    EXPECT_STREQ("Gr\xC3\xBC\xC3\x9F"
                 "e \xF0\x9F\x98\x80",
                 utf8.Text());
    EXPECT_EQ(32, utf8.Capacity());

    CMString part(nullptr);
    EXPECT_TRUE(part.Assign(W16("hello"), 4));
    EXPECT_STREQ("hell", part.Text());
    EXPECT_TRUE(part.Assign(nullptr));
    EXPECT_EQ(nullptr, part.Text());

    WString longText = W(std::string(31, 'm') + "é"); // 33 bytes in UTF-8
    CMString big(longText.c_str());
    EXPECT_EQ(64, big.Capacity());
    EXPECT_EQ(33, big.Length());

    CMString latin(W("café €").c_str(), 1252);
    EXPECT_STREQ("caf\xE9 \x80", latin.Text());

    // A round trip through the ANSI page gives the text back.
    CMString ansi(W16("Plc0.Dev1"), plat::kCpAcp);
    CWString back(ansi.Text(), plat::kCpAcp);
    EXPECT_EQ(WString(W16("Plc0.Dev1")), WString(back.Text()));
}

TEST(MakeFullPath, JoinsFolderAndName) {
    const WString sep(1, plat::kPathSep);
    const WString folder = W("base") + sep + W("cfg");
    WChar out[plat::kMaxPath];

    EXPECT_TRUE(MakeFullPath(W16("idec.plc"), out, (folder + sep).c_str()));
    EXPECT_EQ(folder + sep + W("idec.plc"), WString(out));
    EXPECT_TRUE(MakeFullPath(W16("idec.plc"), out, folder.c_str()));
    EXPECT_EQ(folder + sep + W("idec.plc"), WString(out));

    const WString rooted = sep + W("idec.plc");
    if (plat::PathIsAbsolute(rooted.c_str())) {
        EXPECT_FALSE(MakeFullPath(rooted.c_str(), out, (folder + sep).c_str()));
        EXPECT_EQ(rooted, WString(out));
    } else {
        // No doubled separator.
        EXPECT_TRUE(MakeFullPath(rooted.c_str(), out, (folder + sep).c_str()));
        EXPECT_EQ(folder + rooted, WString(out));
    }

    EXPECT_TRUE(MakeFullPath(W16("idec.plc"), out, W16("")));
    EXPECT_EQ(sep + W("idec.plc"), WString(out));
    EXPECT_TRUE(MakeFullPath(W16("idec.plc"), out, nullptr));
    EXPECT_EQ(sep + W("idec.plc"), WString(out));

    EXPECT_FALSE(MakeFullPath(nullptr, out, folder.c_str()));

    // Absolute paths are taken unchanged (the rules differ by platform).
    for (const WString& p : {W("D:\\x.plc"), W("/x.plc")}) {
        if (plat::PathIsAbsolute(p.c_str())) {
            EXPECT_FALSE(MakeFullPath(p.c_str(), out, folder.c_str()));
            EXPECT_EQ(p, WString(out));
        }
    }
    EXPECT_TRUE(plat::PathIsAbsolute(W16("D:\\x.plc")) || plat::PathIsAbsolute(W16("/x.plc")));
}

TEST(MakeFullPath, JoinsInPlaceAndStaysWithinTheResult) {
    const WString sep(1, plat::kPathSep);
    WChar buf[plat::kMaxPath];
    CopyTextW(buf, W16("idec.plc"), plat::kMaxPath);
    EXPECT_TRUE(MakeFullPath(buf, buf, W16("cfg")));
    EXPECT_EQ(W("cfg") + sep + W("idec.plc"), WString(buf));

    Guarded small;
    EXPECT_TRUE(MakeFullPath(W16("idec.plc"), small.data(), W16("folder"), 10));
    EXPECT_EQ(9u, small.Text().size());
    EXPECT_TRUE(small.UntouchedFrom(10));

    // Longer than a path buffer: cut to it.
    const WString longFolder = W(std::string(300, 'f'));
    Guarded path(plat::kMaxPath + 16);
    EXPECT_TRUE(MakeFullPath(W16("x"), path.data(), longFolder.c_str()));
    EXPECT_EQ(plat::kMaxPath - 1, path.Text().size());
    EXPECT_TRUE(path.UntouchedFrom(plat::kMaxPath));

    // A caller with a larger buffer gets the whole join.
    std::vector<WChar> wide(600, kCanary);
    EXPECT_TRUE(MakeFullPath(W16("x"), wide.data(), longFolder.c_str(), 600));
    EXPECT_EQ(longFolder + sep + W("x"), WString(wide.data()));
}

TEST(FormatText, BoundsAndTermination) {
    EXPECT_EQ("abcd", Fmt(5, W16("abcd")));  // exact fit
    EXPECT_EQ("abcd", Fmt(5, W16("abcde"))); // one too many
    EXPECT_EQ("abcd", Fmt(5, W16("%s"), W16("abcdefgh")));
    EXPECT_EQ("12", Fmt(3, W16("%d"), 12345));
    EXPECT_EQ("", Fmt(1, W16("abc")));

    WChar untouched[2] = {kCanary, kCanary};
    EXPECT_EQ(0, FormatText(untouched, 0, W16("abc")));
    EXPECT_EQ(kCanary, untouched[0]);
    EXPECT_EQ(0, FormatText(nullptr, 10, W16("abc")));
    WChar buf[4] = {kCanary, kCanary, kCanary, kCanary};
    EXPECT_EQ(0, FormatText(buf, 4, nullptr));
    EXPECT_EQ(0, buf[0]);

    // A huge width costs nothing once the buffer is full.
    EXPECT_EQ(std::string(15, ' '), Fmt(16, W16("%1000000000d"), 1));
    EXPECT_EQ(std::string(15, ' '), Fmt(16, W16("%*s"), INT_MAX, W16("x")));
}

TEST(FormatText, TextAndCharacters) {
    EXPECT_EQ("[Link0] 100%", Fmt(W16("[%s] %d%%"), W16("Link0"), 100));
    EXPECT_EQ("(null)", Fmt(W16("%s"), static_cast<const WChar*>(nullptr)));
    EXPECT_EQ("narrow text", Fmt(W16("%S"), "narrow text"));
    EXPECT_EQ("ab|both", Fmt(W16("%hs|%ls"), "ab", W16("both")));
    EXPECT_EQ("  abc|abc  |ab", Fmt(W16("%5s|%-5s|%.2s"), W16("abc"), W16("abc"), W16("abc")));
    EXPECT_EQ("   ab", Fmt(W16("%5.2S"), "abcdef"));
    EXPECT_EQ("A é x  |  y|Z", Fmt(W16("%c %c %-3c|%3c|%C"), 'A', 0xE9, 'x', 'y', 'Z'));
    EXPECT_EQ("Grüße", Fmt(W16("%s"), W("Grüße").c_str()));

    // Longer than any stack buffer inside.
    std::string longNarrow(1000, 'n');
    std::vector<WChar> buf(1100);
    EXPECT_EQ(1000, FormatText(buf.data(), 1100, W16("%S"), longNarrow.c_str()));
    EXPECT_EQ(longNarrow, Narrow(buf.data()));

    // Unknown conversions are shown and take no argument.
    EXPECT_EQ("%q 5", Fmt(W16("%q %d"), 5));
    EXPECT_EQ("100%", Fmt(W16("%d%"), 100));
}

TEST(FormatText, Integers) {
    EXPECT_EQ("0000BEEF", Fmt(W16("%08X"), 0xBEEFu));
    EXPECT_EQ("beef|0xbeef|0XBEEF", Fmt(W16("%x|%#x|%#X"), 0xBEEFu, 0xBEEFu, 0xBEEFu));
    EXPECT_EQ("17|017|0|0", Fmt(W16("%o|%#o|%#o|%#x"), 15u, 15u, 0u, 0u));
    EXPECT_EQ("  -42|-42  |-0042|+5| 5", Fmt(W16("%5d|%-5d|%05d|%+d|% d"), -42, -42, -42, 5, 5));
    EXPECT_EQ("007|   007|", Fmt(W16("%.3d|%6.3d|%.0d"), 7, 7, 0));
    EXPECT_EQ("4294967295", Fmt(W16("%u"), -1));
    EXPECT_EQ("-1|255|-128", Fmt(W16("%hd|%hhu|%hhd"), 65535, 255, 128));
    EXPECT_EQ("-9223372036854775808", Fmt(W16("%lld"), LLONG_MIN));
    EXPECT_EQ("18446744073709551615|FFFFFFFFFFFFFFFF", Fmt(W16("%I64u|%I64X"), ~0ull, ~0ull));
    EXPECT_EQ("-2147483648|2147483647", Fmt(W16("%ld|%I32d"), -2147483647L - 1, INT_MAX));
    EXPECT_EQ("123456|-7", Fmt(W16("%zu|%Id"), static_cast<size_t>(123456), ptrdiff_t(-7)));
    EXPECT_EQ("   42|42   |", Fmt(W16("%*d|%*d|"), 5, 42, -5, 42));
    EXPECT_EQ("00042", Fmt(W16("%.*d"), 5, 42));

    int local = 0;
    std::string p = Fmt(W16("%p"), static_cast<void*>(&local));
    ASSERT_EQ(sizeof(void*) * 2, p.size());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&local),
              static_cast<uintptr_t>(std::stoull(p, nullptr, 16)));
}

TEST(FormatText, FloatingPoint) {
    EXPECT_EQ(
        "3.141590|3.14|   3.142|3.1     |-0003.14",
        Fmt(W16("%f|%.2f|%8.3f|%-8.1f|%08.2f"), 3.14159, 3.14159, 3.14159, 3.14159, -3.14159));
    EXPECT_EQ("+2.50|1.234568e+04|1.2346E+04",
              Fmt(W16("%+.2f|%e|%.4E"), 2.5, 12345.678, 12345.678));
    EXPECT_EQ("0.0001|1E-10|100000|1e+06", Fmt(W16("%g|%G|%g|%g"), 0.0001, 1e-10, 1e5, 1e6));
    EXPECT_EQ("2.|0.000", Fmt(W16("%#.0f|%.3f"), 2.0, 0.0));
    EXPECT_EQ("1.5", Fmt(W16("%.1Lf"), static_cast<long double>(1.5)));

    // More digits than the formatter keeps on its stack.
    std::string huge = Fmt(W16("%.2f"), 1e300);
    EXPECT_EQ(304u, huge.size());
    EXPECT_EQ(".00", huge.substr(301));
    EXPECT_EQ('1', huge[0]);
}
