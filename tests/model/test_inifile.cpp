#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "model/IniFile.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "testutil/testutil.h"

using testutil::TempDir;

namespace {

// Text written to a fresh file and opened.
struct IniText {
    TempDir dir;
    CIniFile ini;
    explicit IniText(const std::string& text) { ini.OpenFile(dir.Write("t.ini", text).c_str()); }
};

std::string Get(CIniFile& ini, const char* sec, const char* key, uint32_t size = 256,
                const char* def = "<none>") {
    std::vector<char> buf(size ? size : 1, '#');
    uint32_t n = ini.GetString(sec, key, def, buf.data(), size);
    return std::string(buf.data(), n);
}

// The plain reading: every lookup scans the text from its start.
struct RefIni {
    const std::string& t;
    static bool Blank(char c) { return c == ' ' || c == '\t'; }
    static bool Eol(char c) { return c == '\r' || c == '\n'; }
    size_t LineEnd(size_t p) const {
        while (p < t.size() && !Eol(t[p]))
            ++p;
        return p;
    }
    size_t NextLine(size_t p) const {
        p = LineEnd(p);
        return p + (p < t.size()) + (t.compare(p, 2, "\r\n") == 0);
    }
    size_t FirstNonBlank(size_t p) const {
        while (p < t.size() && Blank(t[p]))
            ++p;
        return p;
    }
    bool Section(const std::string& name, size_t* b, size_t* e) const {
        for (size_t ls = 0; !name.empty() && ls < t.size(); ls = NextLine(ls)) {
            size_t h = FirstNonBlank(ls), q = h + 1;
            if (h >= t.size() || t[h] != '[')
                continue;
            while (q < t.size() && t[q] != ']' && !Eol(t[q]))
                ++q;
            if (t.substr(h + 1, q - h - 1) != name)
                continue;
            *b = NextLine(ls);
            for (size_t l2 = *b; l2 < t.size(); l2 = NextLine(l2)) {
                size_t h2 = FirstNonBlank(l2);
                if (h2 < t.size() && t[h2] == '[')
                    return (*e = h2), true;
            }
            return (*e = t.size()), true;
        }
        return false;
    }
    bool Value(const std::string& sec, const std::string& key, std::string* v) const {
        size_t b, e;
        if (!Section(sec, &b, &e))
            return false;
        for (size_t ls = b; ls < e; ls = NextLine(ls)) {
            std::string line = t.substr(FirstNonBlank(ls), LineEnd(ls) - FirstNonBlank(ls));
            if (!line.empty() && line[0] == '[')
                return false;
            size_t eq = line.find('='), k = eq;
            if (line.empty() || line[0] == ';' || eq == std::string::npos)
                continue;
            while (k > 0 && Blank(line[k - 1]))
                --k;
            if (line.substr(0, k) == key)
                return (*v = line.substr(eq + 1)), true;
        }
        return false;
    }
};

} // namespace

TEST(IniFile, ValuesAreUntrimmedAndNumbersFollowAtolOrLeadingHex) {
    IniText f("Before=1\n[S]\n=5\nTimeout = 100\nMask= 0x10\nHex=0x10\nHexUp=0XfF\n"
              "Long=0x123456789\nNeg=-42abc\nNote=1 ; note\nBig=99999999999\n"
              "Small=-99999999999\nHigh=0xFFFFFFFF\nEmpty=\nA=1\nA=2\n  a = 3\nstray line\n"
              "Name=[x]\nB=after stray\n\n; C=comment\nC=real\n[ S ]\nA=blank header\n"
              "[S]\nA=second section\nZ=only in second\n");
    // Section, key, the text read and the number read (9 by default).
    const struct {
        const char *sec, *key, *text;
        int32_t value;
    } cases[] = {// clang-format off
        {"S", "Timeout", " 100", 100}, {"S", "Mask", " 0x10", 0}, {"S", "Hex", "0x10", 16},
        {"S", "HexUp", "0XfF", 255}, {"S", "Long", "0x123456789", 0x12345678},
        {"S", "Neg", "-42abc", -42}, {"S", "Note", "1 ; note", 1}, {"S", "A", "1", 1},
        {"S", "Big", "99999999999", INT32_MAX}, {"S", "Small", "-99999999999", INT32_MIN},
        {"S", "High", "0xFFFFFFFF", -1}, {"S", "Empty", "", 9}, {"S", "Missing", "<none>", 9},
        {"S", "a", " 3", 3}, {"S", "Z", "<none>", 9}, {"S", "", "5", 5}, {"S", "Name", "[x]", 0},
        {"S", "Before", "<none>", 9}, {"S", "B", "after stray", 0}, {"S", "C", "real", 0},
        {" S ", "A", "blank header", 0}, {"s", "A", "<none>", 9}, {"", "Before", "<none>", 9}};
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(c.text, Get(f.ini, c.sec, c.key)) << c.sec << "/" << c.key;
        EXPECT_EQ(c.value, f.ini.GetInt(c.sec, c.key, 9)) << c.sec << "/" << c.key;
    }
}

TEST(IniFile, CopiesAreBoundedAndWideReadsCountTheTerminator) {
    const WChar wide[] = {W16('\u00e9'), W16('t'), W16('\u00e9'), 0};
    char ansi[16] = {};
    ASSERT_GT(plat::WideToMultiByte(plat::kCpAcp, 0, wide, -1, ansi, sizeof ansi), 0);
    IniText f(std::string("[S]\nK=abcdefgh\nE=\nName=") + ansi + "\nLong=" + std::string(40, 'x') +
              "\nExact=" + std::string(31, 'y') + "\n");
    EXPECT_EQ("abc", Get(f.ini, "S", "K", 4));
    EXPECT_EQ("", Get(f.ini, "S", "K", 1));
    EXPECT_EQ("defa", Get(f.ini, "S", "X", 5, "default"));
    EXPECT_EQ("", Get(f.ini, "S", "E"));
    char out[8] = "keep";
    EXPECT_EQ(0u, f.ini.GetString("S", "X", nullptr, out, sizeof out));
    EXPECT_STREQ("keep", out);

    WChar w[32];
    EXPECT_EQ(4, f.ini.GetWString("S", "Name", nullptr, w, 32));
    EXPECT_EQ(0, plat::WStrICmp(wide, w));
    EXPECT_EQ(0, f.ini.GetWString("S", "Long", nullptr, w, 32));
    EXPECT_EQ(0, w[0]); // no partial text after a failed conversion
    EXPECT_EQ(32, f.ini.GetWString("S", "Exact", nullptr, w, 32));
    EXPECT_EQ(1, f.ini.GetWString("S", "E", W16("dflt"), w, 32));
    EXPECT_EQ(1, f.ini.GetWString("S", "X", nullptr, w, 32));
    EXPECT_EQ(5, f.ini.GetWString("S", "X", W16("dflt"), w, 32));
}

std::string Repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

// After a byte-order mark the text is UTF-8 on every backend, as the ANSI code
// page is on POSIX: a value is converted whole, never cut inside a character.
TEST(IniFile, ByteOrderMarkIsSkippedAndWideValuesAreWholeCharacters) {
    const std::string sun = "\xE6\x97\xA5", clef = "\xF0\x9D\x84\x9E"; // U+65E5, U+1D11E
    IniText f("\xEF\xBB\xBF[First]\nName=\xC3\xA9t\xC3\xA9\nFits=" + Repeat(sun, 31) +
              "\nOver=" + Repeat(sun, 32) + "\nPair=" + std::string(30, 'a') + clef + "\n");
    EXPECT_EQ("\xC3\xA9t\xC3\xA9", Get(f.ini, "First", "Name")) << "the first section is found";
    EXPECT_EQ('[', f.ini.Text()[0]);

    WChar w[32];
    ASSERT_EQ(4, f.ini.GetWString("First", "Name", nullptr, w, 32));
    const WChar ete[] = {0xE9, W16('t'), 0xE9, 0};
    EXPECT_EQ(testutil::WString(ete), testutil::WString(w));

    ASSERT_EQ(32, f.ini.GetWString("First", "Fits", nullptr, w, 32));
    EXPECT_EQ(testutil::WString(31, static_cast<WChar>(0x65E5)), testutil::WString(w));
    // One character more does not fit: refused, not cut to what fits.
    EXPECT_EQ(0, f.ini.GetWString("First", "Over", nullptr, w, 32));
    EXPECT_EQ(0, w[0]);
    // Nor is half of a surrogate pair kept.
    EXPECT_EQ(0, f.ini.GetWString("First", "Pair", nullptr, w, 32));
    WChar wider[33];
    ASSERT_EQ(33, f.ini.GetWString("First", "Pair", nullptr, wider, 33));
    EXPECT_EQ(static_cast<WChar>(0xDD1E), wider[31]);
}

TEST(IniFile, MissingUnopenableAndOversizedFiles) {
    TempDir dir;
    CIniFile ini;
    auto path = dir.Join("new.ini");
    EXPECT_TRUE(ini.OpenFile(path.c_str()));
    EXPECT_TRUE(plat::PathExists(path.c_str())); // created empty
    EXPECT_EQ(7, ini.GetInt("S", "K", 7));
    auto deep = dir.Join("no_such_folder") + plat::kPathSep + W16("x.ini");
    EXPECT_TRUE(ini.OpenFile(deep.c_str()));
    EXPECT_TRUE(ini.IsLoaded());
    ini.CloseFile();
    EXPECT_FALSE(ini.IsOpen());
    EXPECT_EQ("dflt", Get(ini, "S", "K", 256, "dflt"));
    // An over-long path is not cut down to (and created as) another file.
    auto longName = dir.Path() + plat::kPathSep + testutil::WString(300, W16('a'));
    EXPECT_TRUE(ini.OpenFile(longName.c_str()));
    EXPECT_EQ(0u, ini.TextLength());

    std::string big(CIniFile::kMaxFileSize - 1, 'x');
    big.replace(0, 8, "[S]\nK=1\n");
    auto ok = dir.Write("ok.ini", big);
    auto tooBig = dir.Write("big.ini", big + "x");
    EXPECT_TRUE(ini.OpenFile(ok.c_str()));
    EXPECT_EQ(1, ini.GetInt("S", "K", 0));
    EXPECT_FALSE(ini.OpenFile(tooBig.c_str()));
    EXPECT_EQ(3, ini.GetInt("S", "K", 3));
}

// Line ends of every kind are IndexedLookupsMatchAPlainScan's subject.
TEST(IniFile, OddBytesAndLongLinesStayBounded) {
    IniText nul(std::string("[S]\nA=1\0x\nB=2\n[\0T]\nC=3\n[T]\nC=4", 30));
    EXPECT_EQ(std::string("1\0x", 3), Get(nul.ini, "S", "A"));
    EXPECT_EQ(2, nul.ini.GetInt("S", "B", 0));
    EXPECT_EQ(4, nul.ini.GetInt("T", "C", 0));
    std::string key(100000, 'k'), name(5000, 'n');
    IniText big("[" + name + "]\n" + key + "=1\nK=" + std::string(200000, 'v') + "\n" +
                std::string(300000, ' ') + "Last=9");
    EXPECT_EQ(1, big.ini.GetInt(name.c_str(), key.c_str(), 0));
    EXPECT_EQ(9, big.ini.GetInt(name.c_str(), "Last", 0));
    EXPECT_EQ(std::string(31, 'v'), Get(big.ini, name.c_str(), "K", 32));
    // Only 259 bytes of a name are cached: its prefix must not find that body.
    EXPECT_EQ(0, big.ini.GetInt(name.substr(0, CIniFile::kMaxSectionName).c_str(), "Last", 0));
}

TEST(IniFile, IndexedLookupsMatchAPlainScan) {
    const char* names[] = {"A", "B", "Link0", " Link0", "Link0 ", "a", "L.Dev1", "", "["};
    const char* keys[] = {"k", "K", "x", "long key", ""};
    const char* eols[] = {"\n", "\r\n", "\r"};
    std::mt19937 rng(20240607);
    auto pick = [&](size_t n) { return rng() % n; };
    for (int round = 0; round < 150; ++round) {
        std::string t;
        for (int i = 0, lines = 1 + pick(40); i < lines; ++i) {
            std::string name = names[pick(9)], key = keys[pick(5)];
            const std::string forms[] = {
                "[" + name + "]", " \t[" + name + "] trailing",
                "[" + name,       ";" + key + "=c",
                "no equals sign", "  " + key + " \t=v" + std::to_string(i) + " "};
            t += forms[pick(6)];
            if (i + 1 < lines || pick(2))
                t += eols[pick(3)];
        }
        IniText f(t);
        RefIni ref{t};
        for (int repeat = 0; repeat < 2; ++repeat) { // the second pass meets the cache
            for (const char* n : names) {
                size_t b1 = 0, e1 = 0, b2 = 0, e2 = 0;
                ASSERT_EQ(ref.Section(n, &b2, &e2), f.ini.FindSection(n, &b1, &e1)) << n << t;
                ASSERT_EQ(b2, b1) << n << "\n" << t;
                ASSERT_EQ(e2, e1) << n << "\n" << t;
                for (const char* k : keys) {
                    std::string want;
                    bool found = ref.Value(n, k, &want);
                    ASSERT_EQ(found ? want : "<none>", Get(f.ini, n, k)) << n << "/" << k << t;
                }
            }
        }
    }
}
