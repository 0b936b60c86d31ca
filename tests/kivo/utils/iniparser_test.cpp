#include "kivo/utils/iniparser.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ini_test_sandbox.h"

namespace {

struct DictDeleter {
    void operator()(dictionary* d) const { iniparser_freedict(d); }
};
typedef std::unique_ptr<dictionary, DictDeleter> DictPtr;

// ---- one line -----------------------------------------------------------------

struct LineCase {
    const char* input;
    line_status status;
    const char* first;   // section, or key
    const char* second;  // value
};

TEST(IniparserLine, ClassifiesEachKindOfLine)
{
    const LineCase cases[] = {
        {"", LINE_EMPTY, nullptr, nullptr},
        {" \t \r", LINE_EMPTY, nullptr, nullptr},
        {"# comment = 1", LINE_COMMENT, nullptr, nullptr},
        {"   ; comment", LINE_COMMENT, nullptr, nullptr},
        {"[Main]", LINE_SECTION, "Main", nullptr},
        {"  [  two words ]  ", LINE_SECTION, "two words", nullptr},
        {"[]", LINE_SECTION, "", nullptr},
        {"key = value", LINE_VALUE, "key", "value"},
        {"  Key\t=Val ue  ", LINE_VALUE, "Key", "Val ue"},
        {"k = a = b", LINE_VALUE, "k", "a = b"},
        {"k = 'a;b' ; comment", LINE_VALUE, "k", "a;b"},
        {"k = a;b ; comment", LINE_VALUE, "k", "a"},
        {"k = v # comment", LINE_VALUE, "k", "v"},
        {"k = \"x # y\"", LINE_VALUE, "k", "x # y"},
        // The text between the quotes is stripped again.
        {"k = \" padded \"", LINE_VALUE, "k", "padded"},
        {"k = ' \tx\r'", LINE_VALUE, "k", "x"},
        {"version = \" V1.2 \"", LINE_VALUE, "version", "V1.2"},
        {"k = ' a;b ' ; c", LINE_VALUE, "k", "a;b"},
        {"k = ' '", LINE_VALUE, "k", ""},
        {"k = \"\"", LINE_VALUE, "k", ""},
        {"k = ''", LINE_VALUE, "k", ""},
        {"k = \"\" ; comment", LINE_VALUE, "k", ""},
        {"k =", LINE_VALUE, "k", ""},
        {"k = ;only a comment", LINE_VALUE, "k", ""},
        // A quote right after the first one does not open a quoted value.
        {"k = \"\"x\"", LINE_VALUE, "k", "\"\"x\""},
        {"k = \"open", LINE_VALUE, "k", "\"open"},
        // Inside quotes a doubled quote is one quote character; a pair with
        // no closing quote after it leaves the first quote closing, as ever.
        {"k = \"a\"\"b'c;d\"", LINE_VALUE, "k", "a\"b'c;d"},
        {"k = 'it''s' ; note", LINE_VALUE, "k", "it's"},
        {"k = \"a\"\"", LINE_VALUE, "k", "a"},
        {"k = \"x\" ; \"y\"", LINE_VALUE, "k", "x"},
        // Two quotes mean the empty value only when they are not quoted.
        {"k = '\"\"'", LINE_VALUE, "k", "\"\""},
        {"k = \"''\"", LINE_VALUE, "k", "''"},
        {"[a]=b", LINE_VALUE, "[a]", "b"},
        {"=x", LINE_ERROR, nullptr, nullptr},
        {"  = x", LINE_ERROR, nullptr, nullptr},
        {"no value here", LINE_ERROR, nullptr, nullptr},
        {"[open", LINE_ERROR, nullptr, nullptr},
        {"close]", LINE_ERROR, nullptr, nullptr},
        {"[", LINE_ERROR, nullptr, nullptr},
        // A section name may hold ':' (a packaged file "fw:2.bin").
        {"[x:y]", LINE_SECTION, "x:y", nullptr},
        {"[ new:kernel.bin ]", LINE_SECTION, "new:kernel.bin", nullptr},
        {"[:]", LINE_SECTION, ":", nullptr},
        {"[x:y]=1", LINE_VALUE, "[x:y]", "1"},
        {"\xEF\xBB\xBF[sec]", LINE_ERROR, nullptr, nullptr},
    };
    for (const LineCase& c : cases) {
        char section[INI_LINE_MAX + 1] = "-";
        char key[INI_LINE_MAX + 1] = "-";
        char value[INI_LINE_MAX + 1] = "-";
        SCOPED_TRACE(c.input);
        ASSERT_EQ(iniparser_line(c.input, section, key, value), c.status);
        if (c.status == LINE_SECTION) {
            EXPECT_STREQ(section, c.first);
        } else if (c.status == LINE_VALUE) {
            EXPECT_STREQ(key, c.first);
            EXPECT_STREQ(value, c.second);
        }
    }
}

TEST(IniparserLine, OverlongInputIsCutNotOverflowed)
{
    std::string in = "k=" + std::string(4000, 'x');
    std::unique_ptr<char[]> section(new char[INI_LINE_MAX + 1]);
    std::unique_ptr<char[]> key(new char[INI_LINE_MAX + 1]);
    std::unique_ptr<char[]> value(new char[INI_LINE_MAX + 1]);
    ASSERT_EQ(iniparser_line(in.c_str(), section.get(), key.get(), value.get()), LINE_VALUE);
    EXPECT_STREQ(key.get(), "k");
    EXPECT_EQ(strlen(value.get()), size_t(INI_LINE_MAX - 2));
}

// ---- getters over a dictionary ------------------------------------------------------

class IniparserValues : public ::testing::Test {
protected:
    void SetUp() override
    {
        d.reset(dictionary_new(0));
        const char* entries[][2] = {
            {"s", nullptr},   {"s:hex", "0x10"},   {"s:oct", "010"},    {"s:neg", "-5"},
            {"s:word", "abc"}, {"s:big", "99999999999"}, {"s:small", "-99999999999"},
            {"s:yes", "yes"},  {"s:True", "True"}, {"s:one", "1"},      {"s:no", "no"},
            {"s:F", "F"},      {"s:zero", "0"},    {"s:maybe", "maybe"}, {"s:empty", ""},
            {"s:real", "2.5"}, {"s:nullval", nullptr},
        };
        for (const auto& e : entries)
            ASSERT_EQ(iniparser_set(d.get(), e[0], e[1]), 0);
    }
    DictPtr d;
};

TEST_F(IniparserValues, GetIntUsesBaseZeroAndClamps)
{
    struct {
        const char* key;
        int expect;
    } const cases[] = {
        {"s:hex", 16},  {"S:HEX", 16}, {"s:oct", 8}, {"s:neg", -5}, {"s:word", 0},
        {"s:big", INT_MAX}, {"s:small", INT_MIN}, {"s:missing", 77}, {"s", 77}, {"s:nullval", 77},
    };
    for (const auto& c : cases)
        EXPECT_EQ(iniparser_getint(d.get(), c.key, 77), c.expect) << c.key;
    EXPECT_EQ(iniparser_getint(nullptr, "s:hex", 77), 77);
}

TEST_F(IniparserValues, GetBooleanLooksAtTheFirstCharacter)
{
    struct {
        const char* key;
        int expect;
    } const cases[] = {
        {"s:yes", 1}, {"s:true", 1}, {"s:one", 1}, {"s:no", 0}, {"s:f", 0},
        {"s:zero", 0}, {"s:maybe", -1}, {"s:empty", -1}, {"s:missing", -1}, {"s:nullval", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(iniparser_getboolean(d.get(), c.key, -1), c.expect) << c.key;
}

TEST_F(IniparserValues, StringDoubleAndFind)
{
    EXPECT_STREQ(iniparser_getstring(d.get(), "S:Word", "def"), "abc");
    EXPECT_STREQ(iniparser_getstring(d.get(), "s:none", "def"), "def");
    EXPECT_DOUBLE_EQ(iniparser_getdouble(d.get(), "s:real", 9.0), 2.5);
    EXPECT_DOUBLE_EQ(iniparser_getdouble(d.get(), "s:none", 9.0), 9.0);
    EXPECT_EQ(iniparser_find_entry(d.get(), "S"), 1);
    EXPECT_EQ(iniparser_find_entry(d.get(), "s:nullval"), 1);
    EXPECT_EQ(iniparser_find_entry(d.get(), "s:none"), 0);
    iniparser_unset(d.get(), "s:word");
    EXPECT_EQ(iniparser_find_entry(d.get(), "s:word"), 0);
}

TEST(IniparserSections, CountNamesAndKeysInSlotOrder)
{
    DictPtr d(dictionary_new(0));
    iniparser_set(d.get(), "Main", nullptr);
    iniparser_set(d.get(), "Main:a", "1");
    iniparser_set(d.get(), "other", nullptr);
    iniparser_set(d.get(), "main:B", "2");
    iniparser_set(d.get(), "mainly:c", "3");  // same start, other section
    iniparser_set(d.get(), "bare", nullptr);

    EXPECT_EQ(iniparser_getnsec(d.get()), 3);
    EXPECT_STREQ(iniparser_getsecname(d.get(), 0), "Main");
    EXPECT_STREQ(iniparser_getsecname(d.get(), 1), "other");
    EXPECT_STREQ(iniparser_getsecname(d.get(), 2), "bare");
    EXPECT_EQ(iniparser_getsecname(d.get(), 3), nullptr);
    EXPECT_EQ(iniparser_getsecname(d.get(), -1), nullptr);

    EXPECT_EQ(iniparser_getsecnkeys(d.get(), "MAIN"), 2);
    const char** keys = iniparser_getseckeys(d.get(), "MAIN");
    ASSERT_NE(keys, nullptr);
    EXPECT_STREQ(keys[0], "Main:a");
    EXPECT_STREQ(keys[1], "main:B");
    iniparser_freeseckeys(keys);

    EXPECT_EQ(iniparser_getsecnkeys(d.get(), "missing"), 0);
    EXPECT_EQ(iniparser_getseckeys(d.get(), "missing"), nullptr);
    // A section without keys is listed as empty, not as missing.
    EXPECT_EQ(iniparser_getsecnkeys(d.get(), "bare"), 0);
    keys = iniparser_getseckeys(d.get(), "bare");
    EXPECT_NE(keys, nullptr);
    iniparser_freeseckeys(keys);
}

// ---- loading ---------------------------------------------------------------------------

class IniparserFiles : public IniSandbox {
protected:
    DictPtr Load(const std::string& bytes, const std::string& name = "/t.ini")
    {
        Put(name, bytes);
        return DictPtr(iniparser_load(name.c_str()));
    }
    static const char* Str(const DictPtr& d, const char* key) { return iniparser_getstring(d.get(), key, nullptr); }
};

TEST_F(IniparserFiles, LoadsTheDialect)
{
    DictPtr d = Load("; header comment\n"
                     "[Main]\n"
                     "Version = V1.2\n"
                     "name = 'a;b' ; note\n"
                     "plain = a;b ; note\n"
                     "empty = \"\"\n"
                     "\n"
                     "bare =\n"
                     "# inner comment\n"
                     "[other]\n"
                     "joined = first \\\n"
                     "  second\n"
                     "gap = a\\\n"
                     "\n"
                     "b\n");
    ASSERT_TRUE(d);
    EXPECT_STREQ(Str(d, "main:version"), "V1.2");
    EXPECT_STREQ(Str(d, "MAIN:NAME"), "a;b");
    EXPECT_STREQ(Str(d, "main:plain"), "a");
    EXPECT_STREQ(Str(d, "main:empty"), "");
    EXPECT_STREQ(Str(d, "main:bare"), "");
    EXPECT_STREQ(Str(d, "other:joined"), "first   second");
    EXPECT_STREQ(Str(d, "other:gap"), "ab");  // the empty line inside is skipped
    EXPECT_EQ(iniparser_getnsec(d.get()), 2);
    EXPECT_STREQ(iniparser_getsecname(d.get(), 0), "Main");
    EXPECT_EQ(d->n, 2 + 5 + 2);
}

TEST_F(IniparserFiles, CrLfAndLastLineWithoutNewline)
{
    DictPtr d = Load("[s]\r\nk = v\r\n\r\nlast=end");
    ASSERT_TRUE(d);
    EXPECT_STREQ(Str(d, "s:k"), "v");
    EXPECT_STREQ(Str(d, "s:last"), "end");
}

TEST_F(IniparserFiles, ContinuationAtTheEndOfTheFileStillCounts)
{
    DictPtr d = Load("[s]\nk = a\\\n");
    ASSERT_TRUE(d);
    EXPECT_STREQ(Str(d, "s:k"), "a");
}

TEST_F(IniparserFiles, LinesAcrossBlockBoundaries)
{
    // Lines of varying length so that many of them straddle 1024-byte blocks.
    std::string text = "[big]\n";
    for (int i = 0; i < 300; ++i)
        text += "key" + std::to_string(i) + " = " + std::string(size_t(i % 37), 'v') + std::to_string(i) + "\n";
    ASSERT_GT(text.size(), 8 * 1024u);
    DictPtr d = Load(text);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->n, 301);
    for (int i = 0; i < 300; ++i) {
        std::string key = "big:key" + std::to_string(i);
        ASSERT_EQ(std::string(Str(d, key.c_str())), std::string(size_t(i % 37), 'v') + std::to_string(i)) << i;
    }
}

TEST_F(IniparserFiles, OverlongLinesAreCutAndTheRestDropped)
{
    const std::string sec(1000, 'S');
    const std::string key(1000, 'K');
    DictPtr d = Load("[s]\n"
                     "long = " + std::string(5000, 'x') + "\n"
                     "after = ok\n"
                     "joined = " + std::string(600, 'a') + "\\\n" + std::string(600, 'b') + "\\\n" +
                     std::string(600, 'c') + "\n"
                     "[" + sec + "]\n" +
                     key + " = v\n");
    ASSERT_TRUE(d);
    // 1023 characters are kept of a line: "long = " and 1016 of the x.
    EXPECT_EQ(std::string(Str(d, "s:long")), std::string(1016, 'x'));
    EXPECT_STREQ(Str(d, "s:after"), "ok");
    EXPECT_EQ(std::string(Str(d, "s:joined")), std::string(600, 'a') + std::string(1023 - 9 - 600, 'b'));
    // Section and key of a full line each: the joined key is twice as long.
    std::string full = sec + ":" + key;
    EXPECT_STREQ(Str(d, full.c_str()), "v");
}

TEST_F(IniparserFiles, BadLineFollowedByGoodOnesIsReportedAndSkipped)
{
    testing::internal::CaptureStdout();
    DictPtr d = Load("[a]\nbad line\nx = 1\n", "/bad.ini");
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(d);
    EXPECT_EQ(out, "iniparser: syntax error in /bad.ini (2):\n-> bad line\n");
    EXPECT_STREQ(Str(d, "a:x"), "1");
    EXPECT_EQ(d->n, 2);
}

// A section line may name a section holding ':': the keys after it belong
// to it, not to the section before. Lines holding a NUL byte are syntax
// errors: reported with their line, skipped when a stored line follows.
TEST_F(IniparserFiles, ColonSectionsLoadAndNulBytesAreSyntaxErrors)
{
    struct {
        std::string file;
        bool loads;
        const char* line;  // the line number reported, null: no message
        std::vector<std::pair<const char*, const char*>> entries;
    } const cases[] = {
        {"[uImage]\nversion=V1.1\n[build:meta]\nversion=2024.05\n", true, nullptr,
         {{"uImage", nullptr}, {"uImage:version", "V1.1"}, {"build:meta", nullptr}, {"build:meta:version", "2024.05"}}},
        {"[a.bin]\ncheck_crc=0x1234\n[fw:2.bin]\ncheck_crc=0x5678\n", true, nullptr,
         {{"a.bin", nullptr}, {"a.bin:check_crc", "0x1234"}, {"fw:2.bin", nullptr}, {"fw:2.bin:check_crc", "0x5678"}}},
        {"[x:y]\nk=v\n", true, nullptr, {{"x:y", nullptr}, {"x:y:k", "v"}}},
        {"[a]\n[x:y]\n", true, nullptr, {{"a", nullptr}, {"x:y", nullptr}}},
        {std::string("[s]\nk=a\0b\nn=1\n", 14), true, "(2)", {{"s", nullptr}, {"s:n", "1"}}},
        {std::string("[s]\n\0k=1\nn=1\n", 13), true, "(2)", {{"s", nullptr}, {"s:n", "1"}}},
        {std::string("[s]\nk=a\0b\n", 10), false, "(2)", {}},
        {std::string("[s]\nk=a\\\n\0\nn=1\n", 15), true, "(3)", {{"s", nullptr}, {"s:n", "1"}}},
        {std::string("[s]\n\0\n", 6), false, "(2)", {}},
        {std::string("[s\0]\nk=1\n", 9), true, "(1)", {{":k", "1"}}},
        {std::string("[a]\n[b]\0x\nk=1\n", 14), true, "(2)", {{"a", nullptr}, {"a:k", "1"}}},
        {std::string("[a]\nk\0;=1\n", 10), false, "(2)", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        testing::internal::CaptureStdout();
        DictPtr d = Load(c.file, "/e.ini");
        const std::string out = testing::internal::GetCapturedStdout();
        if (c.line)
            EXPECT_NE(out.find(std::string("iniparser: syntax error in /e.ini ") + c.line + ":\n-> "),
                      std::string::npos)
                << out;
        else
            EXPECT_EQ(out, "");
        ASSERT_EQ(bool(d), c.loads);
        if (!d)
            continue;
        EXPECT_EQ(d->n, int32_t(c.entries.size()));
        for (const auto& e : c.entries) {
            SCOPED_TRACE(e.first);
            ASSERT_EQ(iniparser_find_entry(d.get(), e.first), 1);
            if (e.second)
                EXPECT_STREQ(Str(d, e.first), e.second);
            else
                EXPECT_EQ(Str(d, e.first), nullptr);
        }
    }
}

// A file with sections whose names hold ':' is stored back byte for byte,
// each key under its own section line, and lists those sections.
TEST_F(IniparserFiles, ColonSectionsAreStoredBackAsTheyWere)
{
    const char* files[] = {
        "[uImage]\r\nversion=V1.1\r\n[build:meta]\r\nversion=2024.05\r\n",
        "[new:kernel.bin]\r\nversion=V1.2\r\ncheck_crc=4660\r\n",
        "[x]\r\na=1\r\n[x:y]\r\nk=v\r\n[x:y:z]\r\nk=w\r\n",
        "[x:y]\r\nk=v\r\n[x]\r\na=1\r\n",
        "[:]\r\nk=v\r\n",
        // "x:y:" is the key "y:" of [x]: under [x:y] it would have no name.
        "[x]\r\ny:=1\r\n[x:y]\r\nk=v\r\n",
        "[x:y]\r\nk=v\r\n[x]\r\ny:=1\r\n",
    };
    for (const char* f : files) {
        SCOPED_TRACE(f);
        DictPtr d = Load(f);
        ASSERT_TRUE(d);
        ASSERT_EQ(iniparser_store(d.get(), "/c.ini"), 0);
        EXPECT_EQ(Get("/c.ini"), f);
    }
    DictPtr d = Load("[uImage]\nversion=V1.1\n[build:meta]\nversion=2024.05\n");
    ASSERT_TRUE(d);
    ASSERT_EQ(iniparser_getnsec(d.get()), 2);
    EXPECT_STREQ(iniparser_getsecname(d.get(), 0), "uImage");
    EXPECT_STREQ(iniparser_getsecname(d.get(), 1), "build:meta");
}

// A package's "info.ini" ends in ';' and a check byte that may be any byte,
// NUL included: the comment it makes hides nothing, and the file loads
// whole, silently. A NUL inside a comment line is as harmless.
TEST_F(IniparserFiles, CommentLinesMayHoldAnyByte)
{
    for (int c = 0; c < 256; ++c) {
        SCOPED_TRACE(c);
        testing::internal::CaptureStdout();
        DictPtr d = Load("[a]\r\nk=v\r\n;" + std::string(1, static_cast<char>(c)));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, "");
        ASSERT_TRUE(d);
        EXPECT_EQ(d->n, 2);
        EXPECT_STREQ(Str(d, "a:k"), "v");
    }
    const std::string nul(1, '\0');
    const std::string files[] = {
        "[a]\n  # one" + nul + "two\nk=v\n",
        "[a]\n;" + nul + nul + "\nk=v\n",
        "[a]\nk=v\n#" + nul,
    };
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        testing::internal::CaptureStdout();
        DictPtr d = Load(f);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, "");
        ASSERT_TRUE(d);
        EXPECT_EQ(d->n, 2);
        EXPECT_STREQ(Str(d, "a:k"), "v");
    }
}

TEST_F(IniparserFiles, TrailingBadLineLoadsNothing)
{
    const char* files[] = {
        "[a]\nx = 1\nbad\n",
        "[a]\nx = 1\n=starts with equals\n\n  \n",
        "\xEF\xBB\xBF[a]\n",
    };
    for (const char* f : files) {
        testing::internal::CaptureStdout();
        DictPtr d = Load(f);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(d) << f;
        EXPECT_NE(out.find("iniparser: syntax error in /t.ini"), std::string::npos) << f;
    }
}

TEST_F(IniparserFiles, ByteOrderMarkSpoilsTheFirstSectionLine)
{
    testing::internal::CaptureStdout();
    DictPtr d = Load("\xEF\xBB\xBF[a]\nx = 1\n");
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(d);
    EXPECT_NE(out.find("(1):\n"), std::string::npos);
    EXPECT_EQ(iniparser_getnsec(d.get()), 0);
    EXPECT_STREQ(Str(d, ":x"), "1");  // stored under the empty section
}

TEST_F(IniparserFiles, MissingFileOrUnreadablePathGivesNull)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(iniparser_load("/nope.ini"), nullptr);
    EXPECT_EQ(iniparser_load(nullptr), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "iniparser: cannot open /nope.ini\niniparser: cannot open (null)\n");

    // A directory opens but cannot be read: that is a failure, not an empty
    // file.
    ASSERT_EQ(mkdir((_root + "/dir.ini").c_str(), 0777), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(iniparser_load("/dir.ini"), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("cannot read /dir.ini"), std::string::npos);
}

TEST_F(IniparserFiles, GarbageNeverCrashesOrHangs)
{
    // Deterministic noise rich in the characters the parser cares about.
    const char alphabet[] = "[]=;#'\"\\ \t\r\n\nab:\xEF\xFF";
    uint32_t seed = 12345;
    std::string text;
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 1103515245u + 12345u;
        char c = (seed >> 16) % 50 == 0 ? '\0' : alphabet[(seed >> 16) % (sizeof alphabet - 1)];
        text += c;
    }
    text += "\n[end]\nk=v\n";
    testing::internal::CaptureStdout();
    DictPtr d = Load(text);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(d);  // the stored lines at the end forgive the errors before
    EXPECT_STREQ(Str(d, "end:k"), "v");
}

// ---- writing ---------------------------------------------------------------------------

TEST_F(IniparserFiles, StoreWritesSectionsAndKeysWithCrLf)
{
    DictPtr d(dictionary_new(0));
    iniparser_set(d.get(), "a", nullptr);
    iniparser_set(d.get(), "a:x", "1");
    iniparser_set(d.get(), "b", nullptr);
    iniparser_set(d.get(), "b:y", "");
    ASSERT_EQ(iniparser_store(d.get(), "/out.ini"), 0);
    EXPECT_EQ(Get("/out.ini"), "[a]\r\nx=1\r\n[b]\r\ny=\r\n");
    // An entry with a null value is a section, as a line "[b:z]" makes it.
    iniparser_set(d.get(), "b:z", nullptr);
    ASSERT_EQ(iniparser_store(d.get(), "/out.ini"), 0);
    EXPECT_EQ(Get("/out.ini"), "[a]\r\nx=1\r\n[b]\r\ny=\r\n[b:z]\r\n");
}

TEST_F(IniparserFiles, StoreKeepsTheSpellingOfNames)
{
    DictPtr d = Load("[Main]\nKey = v\n");
    ASSERT_TRUE(d);
    EXPECT_STREQ(Str(d, "main:key"), "v");
    ASSERT_EQ(iniparser_store(d.get(), "/t.ini"), 0);
    EXPECT_EQ(Get("/t.ini"), "[Main]\r\nKey=v\r\n");
}

// Without sections every entry is a line of its own; a full key "a:x" would
// read back as the key "a:x" of no section (":a:x"), so it is refused.
TEST_F(IniparserFiles, StoreWithoutSectionsWritesKeysThatReadBack)
{
    DictPtr d(dictionary_new(0));
    iniparser_set(d.get(), ":x", "1");
    iniparser_set(d.get(), ":y", "two");
    ASSERT_EQ(iniparser_store(d.get(), "/flat.ini"), 0);
    EXPECT_EQ(Get("/flat.ini"), "x=1\r\ny=two\r\n");
    iniparser_set(d.get(), "a:x", "1");
    EXPECT_EQ(iniparser_store(d.get(), "/flat.ini"), -1);
    EXPECT_EQ(Get("/flat.ini"), "x=1\r\ny=two\r\n");
}

// Keys before the first section line read back as they were, with or
// without sections after them.
TEST_F(IniparserFiles, KeysBeforeAnySectionSurviveAStore)
{
    for (const char* text : {"top=1\nnext = two\n", "top=1\n[s]\nk=v\n"}) {
        SCOPED_TRACE(text);
        DictPtr d = Load(text);
        ASSERT_TRUE(d);
        ASSERT_STREQ(Str(d, ":top"), "1");
        ASSERT_EQ(iniparser_store(d.get(), "/top.ini"), 0);
        DictPtr back(iniparser_load("/top.ini"));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->n, d->n);
        EXPECT_STREQ(Str(back, ":top"), "1");
        EXPECT_EQ(iniparser_find_entry(back.get(), "::top"), 0);
    }
}

TEST_F(IniparserFiles, RoundTripKeepsEveryEntry)
{
    DictPtr d = Load("[one]\na = 1\nb = two words\n[Two]\nc = 'x;y'\nd = \"\"\n[three]\n");
    ASSERT_TRUE(d);
    ASSERT_EQ(iniparser_store(d.get(), "/copy.ini"), 0);
    DictPtr back(iniparser_load("/copy.ini"));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->n, d->n);
    for (int32_t i = 0; i < d->size; ++i) {
        if (!d->key[i])
            continue;
        SCOPED_TRACE(d->key[i]);
        ASSERT_EQ(iniparser_find_entry(back.get(), d->key[i]), 1);
        const char* v = Str(back, d->key[i]);
        if (d->val[i])
            EXPECT_STREQ(v, d->val[i]);
        else
            EXPECT_EQ(v, nullptr);
    }
}

TEST_F(IniparserFiles, ValuesThatWouldBeCutAreQuotedOnWrite)
{
    struct {
        const char* value;
        const char* line;
    } const cases[] = {
        {"plain", "k=plain"},
        {"a;b", "k=\"a;b\""},
        {"x # y", "k=\"x # y\""},
        {"\"q\"", "k='\"q\"'"},
        {"'s'", "k=\"'s'\""},
        {"say \"hi\"; ok", "k='say \"hi\"; ok'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        DictPtr d(dictionary_new(0));
        iniparser_set(d.get(), "s", nullptr);
        iniparser_set(d.get(), "s:k", c.value);
        ASSERT_EQ(iniparser_store(d.get(), "/q.ini"), 0);
        EXPECT_EQ(Get("/q.ini"), std::string("[s]\r\n") + c.line + "\r\n");
        DictPtr back(iniparser_load("/q.ini"));
        ASSERT_TRUE(back);
        EXPECT_STREQ(Str(back, "s:k"), c.value);
    }
}

// Every key and value under a section reads back as it was stored, and the
// entries after it too.
TEST_F(IniparserFiles, EveryStoredEntryReadsBackEqual)
{
    struct {
        const char* key;
        const char* value;
        const char* line;
    } const cases[] = {
        {"dir", "C:\\tmp\\", "dir=\"C:\\tmp\\\""},
        {"[", "]", "[=\"]\""},
        {"[x", "y]", "[x=\"y]\""},
        {"[a]", "", "[a]="},
        {"k", "a\"b'c;d", "k=\"a\"\"b'c;d\""},
        {"k", "say \"it's\" # ok", "k=\"say \"\"it's\"\" # ok\""},
        {"k", "\"\"", "k='\"\"'"},
        {"k", "''", "k=\"''\""},
        {"k", "\"open", "k='\"open'"},
        {"k", "\"a\"\"b\"", "k='\"a\"\"b\"'"},
        {"k", "trail \\ x\\", "k=\"trail \\ x\\\""},
        {"k", "x\\", "k=\"x\\\""},
        {"k", "a\"b'c\\", "k=\"a\"\"b'c\\\""},
        {"a:b", "c", "a:b=c"},
        {"k", "\"x 'y\\", "k='\"x ''y\\'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = " + c.value);
        DictPtr d(dictionary_new(0));
        iniparser_set(d.get(), "s", nullptr);
        iniparser_set(d.get(), (std::string("s:") + c.key).c_str(), c.value);
        iniparser_set(d.get(), "s:next", "1");
        ASSERT_EQ(iniparser_store(d.get(), "/rt.ini"), 0);
        EXPECT_EQ(Get("/rt.ini"), std::string("[s]\r\n") + c.line + "\r\nnext=1\r\n");
        DictPtr back(iniparser_load("/rt.ini"));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->n, 3);
        EXPECT_STREQ(Str(back, (std::string("s:") + c.key).c_str()), c.value);
        EXPECT_STREQ(Str(back, "s:next"), "1");
    }
}

// What no line can hold is refused before the file is touched: the old file
// stays as it was, and no line of another section or key is made.
TEST_F(IniparserFiles, EntriesNoLineCanHoldAreRefused)
{
    struct {
        const char* section;
        const char* key;
        const char* value;
    } const cases[] = {
        {"s", "k", "1\r\n[evil]\r\nx=2"},
        {"s", "k\nx", "1"},
        {"s\n[t]", "k", "1"},
        {"s", "a=b", "c"},
        {"s", ";k", "1"},
        {"s", "#k", "1"},
        {"s", " ", "1"},
        {"s", "", "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.section) + ":" + c.key + " = " + c.value);
        Put("/old.ini", "[keep]\r\nv=1\r\n");
        DictPtr d(dictionary_new(0));
        iniparser_set(d.get(), c.section, nullptr);
        iniparser_set(d.get(), (std::string(c.section) + ":" + c.key).c_str(), c.value);
        EXPECT_EQ(iniparser_store(d.get(), "/old.ini"), -1);
        EXPECT_EQ(Get("/old.ini"), "[keep]\r\nv=1\r\n");
        int32_t h = -1;
        ASSERT_EQ(kivo_file_create(&h, "/dump.ini"), 0);
        EXPECT_EQ(iniparser_dump_ini(d.get(), h), -1);
        kivo_file_close(h);
        EXPECT_EQ(Get("/dump.ini").find("evil"), std::string::npos);
    }
}

// The version records of the device hold values that need no quoting: their
// bytes are exactly as they always were.
TEST_F(IniparserFiles, VersionRecordBytesStayAsTheyWere)
{
    DictPtr d = Load("[uImage]\r\nversion=V1.2.3\r\ncheck_crc=4660\r\n[app.zip]\r\nversion=V0.0\r\ncheck_crc=0\r\n");
    ASSERT_TRUE(d);
    ASSERT_EQ(iniparser_store(d.get(), "/ver.ini"), 0);
    EXPECT_EQ(Get("/ver.ini"), "[uImage]\r\nversion=V1.2.3\r\ncheck_crc=4660\r\n[app.zip]\r\nversion=V0.0\r\ncheck_crc=0\r\n");
}

TEST_F(IniparserFiles, StoreReportsAnUnopenablePath)
{
    DictPtr d(dictionary_new(0));
    iniparser_set(d.get(), "a", nullptr);
    EXPECT_EQ(iniparser_store(d.get(), "/no/such/dir/x.ini"), -1);
    EXPECT_EQ(iniparser_store(nullptr, "/x.ini"), -1);
    EXPECT_EQ(iniparser_store(d.get(), nullptr), -1);
    EXPECT_FALSE(Exists("/x.ini"));
}

// A line the reader would cut is refused before the old file is touched; a
// line of 1023 characters, the most the reader keeps, is written whole.
TEST_F(IniparserFiles, LinesTheReaderWouldCutAreRefused)
{
    const std::string fit(1023 - 2, 'v');  // "k=" and the value
    struct {
        std::string section, key, value;
        bool stored;
    } const cases[] = {
        {"s", "k", fit, true},
        {"s", "k", fit + "v", false},
        {"s", "k", std::string(1500, 'x'), false},
        {"s", "k", "a;" + std::string(1500, 'x'), false},
        {"s", "k", "a;" + std::string(1019 - 2, 'x'), true},  // k="a;..." is 1023
        {"s", "k", "a;" + std::string(1019 - 1, 'x'), false},
        {"s", std::string(1022, 'K'), "", true},
        {"s", std::string(1023, 'K'), "", false},
        {std::string(1021, 'S'), "k", "v", true},
        {std::string(1022, 'S'), "k", "v", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.section.size()) + "/" + std::to_string(c.key.size()) + "/" +
                     std::to_string(c.value.size()));
        Put("/old.ini", "[keep]\r\nv=1\r\n");
        DictPtr d(dictionary_new(0));
        iniparser_set(d.get(), c.section.c_str(), nullptr);
        iniparser_set(d.get(), (c.section + ":" + c.key).c_str(), c.value.c_str());
        iniparser_set(d.get(), (c.section + ":next").c_str(), "1");
        if (!c.stored) {
            EXPECT_EQ(iniparser_store(d.get(), "/old.ini"), -1);
            EXPECT_EQ(Get("/old.ini"), "[keep]\r\nv=1\r\n");
            continue;
        }
        ASSERT_EQ(iniparser_store(d.get(), "/old.ini"), 0);
        const std::string value = c.value.find(';') != std::string::npos ? '"' + c.value + '"' : c.value;
        EXPECT_EQ(Get("/old.ini"), "[" + c.section + "]\r\n" + c.key + "=" + value + "\r\nnext=1\r\n");
        DictPtr back(iniparser_load("/old.ini"));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->n, 3);
        EXPECT_EQ(Str(back, (c.section + ":" + c.key).c_str()), c.value);
    }
}

// The reader strips quoted values too, so no line carries blanks at the ends
// of a value: such a value, like a name with blanks at its ends, is refused
// before the file is touched. Blanks inside are written as they are.
TEST_F(IniparserFiles, BlanksAtTheEndsAreRefused)
{
    struct {
        const char* section;
        const char* key;
        const char* value;
        const char* line;  // null: refused
    } const cases[] = {
        {"s", "k", "a b", "k=a b"},
        {"s", "k", "a;b c", "k=\"a;b c\""},
        {"s", "k", "  v", nullptr},
        {"s", "k", "v  ", nullptr},
        {"s", "k", "v\r", nullptr},
        {"s", "k", "\tv\t", nullptr},
        {"s", "k", " ", nullptr},
        {"s", "k", " \"a\" ", nullptr},
        {"s", "k", " a;b ", nullptr},
        {"s", "k", "trail \\ ", nullptr},
        {" s", "k", "v", nullptr},
        {"s ", "k", "v", nullptr},
        {"s", " k", "v", nullptr},
        {"s", "k\t", "v", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("[") + c.section + "] " + c.key + "=" + c.value);
        Put("/b.ini", "[keep]\r\nv=1\r\n");
        DictPtr d(dictionary_new(0));
        iniparser_set(d.get(), c.section, nullptr);
        const std::string full = std::string(c.section) + ":" + c.key;
        iniparser_set(d.get(), full.c_str(), c.value);
        if (!c.line) {
            EXPECT_EQ(iniparser_store(d.get(), "/b.ini"), -1);
            EXPECT_EQ(Get("/b.ini"), "[keep]\r\nv=1\r\n");
            continue;
        }
        ASSERT_EQ(iniparser_store(d.get(), "/b.ini"), 0);
        EXPECT_EQ(Get("/b.ini"), std::string("[s]\r\n") + c.line + "\r\n");
        DictPtr back(iniparser_load("/b.ini"));
        ASSERT_TRUE(back);
        EXPECT_STREQ(Str(back, full.c_str()), c.value);
    }
}

// Every entry the store writes reads back; what would not (a key whose
// section is missing, a section holding a value, entries made without a
// section when sections exist) fails the store and leaves the old file.
TEST_F(IniparserFiles, StoreRefusesEntriesThatWouldNotReadBack)
{
    struct {
        const char* name;
        std::vector<std::pair<const char*, const char*>> entries;
    } const cases[] = {
        {"key of a missing section", {{"a", nullptr}, {"b:k", "1"}}},
        {"section with a value", {{"a", "lost"}, {"a:k", "1"}}},
        {"full key without sections", {{"b:k", "1"}}},
        {"key under a missing section with ':'", {{"a", nullptr}, {"x:y:k", "1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Put("/o.ini", "[keep]\r\nv=1\r\n");
        DictPtr d(dictionary_new(0));
        for (const auto& e : c.entries)
            iniparser_set(d.get(), e.first, e.second);
        EXPECT_EQ(iniparser_store(d.get(), "/o.ini"), -1);
        EXPECT_EQ(Get("/o.ini"), "[keep]\r\nv=1\r\n");
    }
}

TEST_F(IniparserFiles, DumpShowsEveryEntryInBrackets)
{
    DictPtr d(dictionary_new(0));
    iniparser_set(d.get(), "a", nullptr);
    iniparser_set(d.get(), "a:x", "1");
    int32_t h = -1;
    ASSERT_EQ(kivo_file_create(&h, "/dump.txt"), 0);
    EXPECT_EQ(iniparser_dump(d.get(), h), 0);
    kivo_file_close(h);
    EXPECT_EQ(Get("/dump.txt"), "[a]=UNDEF\r\n[a:x]=[1]\r\n");
}

// A file system whose files take at most `chunk` bytes per write and refuse
// writes after `limit` bytes, recording what they got.
struct TinyFs {
    std::string data;
    size_t chunk = 1;
    size_t limit = SIZE_MAX;
    kivo_err_t close_result = 0;
    kivo_err_t fsync_result = 0;
};

kivo_fs_ops_t TinyOps()
{
    kivo_fs_ops_t ops;
    memset(&ops, 0, sizeof ops);
    ops.open = [](void*, intptr_t* out, const char*, int) -> kivo_err_t {
        *out = 3;
        return 0;
    };
    ops.close = [](void* ctx, intptr_t) { return static_cast<TinyFs*>(ctx)->close_result; };
    ops.fsync = [](void* ctx, intptr_t) { return static_cast<TinyFs*>(ctx)->fsync_result; };
    ops.write = [](void* ctx, intptr_t, const void* buf, size_t size, ssize_t* done) -> kivo_err_t {
        TinyFs* fs = static_cast<TinyFs*>(ctx);
        if (fs->data.size() >= fs->limit)
            return ENOSPC;
        size_t n = std::min(size, fs->chunk);
        fs->data.append(static_cast<const char*>(buf), n);
        *done = static_cast<ssize_t>(n);
        return 0;
    };
    return ops;
}

TEST_F(IniparserFiles, StoreHandlesShortWritesAndReportsFailedOnes)
{
    const kivo_fs_ops_t ops = TinyOps();
    DictPtr d(dictionary_new(0));
    iniparser_set(d.get(), "a", nullptr);
    iniparser_set(d.get(), "a:x", "1");
    iniparser_set(d.get(), "b", nullptr);

    TinyFs fs;  // one byte per write: every byte must still arrive
    ASSERT_EQ(kivo_mount("/tiny", &ops, &fs, nullptr), 0);
    EXPECT_EQ(iniparser_store(d.get(), "/tiny/a.ini"), 0);
    EXPECT_EQ(fs.data, "[a]\r\nx=1\r\n[b]\r\n");

    fs.data.clear();
    fs.chunk = 64;
    fs.limit = 5;  // full after the first line
    EXPECT_EQ(iniparser_store(d.get(), "/tiny/a.ini"), -1);
    EXPECT_EQ(fs.data, "[a]\r\n");  // writing stopped at the failure

    fs.data.clear();
    fs.limit = SIZE_MAX;
    fs.close_result = EIO;
    EXPECT_EQ(iniparser_store(d.get(), "/tiny/a.ini"), -1);

    // A disk that says it is full only at the flush.
    fs.data.clear();
    fs.close_result = 0;
    fs.fsync_result = ENOSPC;
    EXPECT_EQ(iniparser_store(d.get(), "/tiny/a.ini"), -1);
    EXPECT_EQ(kivo_umount("/tiny"), 0);
}

// A failed store hands back the cause of the call that failed first, or
// EINVAL for what it refuses before touching the file.
TEST_F(IniparserFiles, StoreHandsBackTheCauseOfItsFailure)
{
    const kivo_fs_ops_t ops = TinyOps();
    DictPtr good(dictionary_new(0));
    iniparser_set(good.get(), "a", nullptr);
    iniparser_set(good.get(), "a:x", "1");
    DictPtr unwritable(dictionary_new(0));
    iniparser_set(unwritable.get(), "a", "lost");  // a section holding a value
    iniparser_set(unwritable.get(), "a:k", "1");
    struct {
        const char* what;
        const dictionary* d;
        const char* path;
        size_t chunk;
        size_t limit;
        kivo_err_t fsync_result;
        kivo_err_t close_result;
        kivo_err_t err;
    } const cases[] = {
        {"stored", good.get(), "/tiny/a.ini", 64, SIZE_MAX, 0, 0, 0},
        {"no dictionary", nullptr, "/tiny/a.ini", 64, SIZE_MAX, 0, 0, EINVAL},
        {"no path", good.get(), nullptr, 64, SIZE_MAX, 0, 0, EINVAL},
        {"text that would not read back", unwritable.get(), "/tiny/a.ini", 64, SIZE_MAX, 0, 0, EINVAL},
        {"no directory for it", good.get(), "/no/such/dir/x.ini", 64, SIZE_MAX, 0, 0, ENOENT},
        {"full at a write", good.get(), "/tiny/a.ini", 64, 5, 0, 0, ENOSPC},
        {"a write that takes nothing", good.get(), "/tiny/a.ini", 0, SIZE_MAX, 0, 0, EIO},
        {"full at the flush", good.get(), "/tiny/a.ini", 64, SIZE_MAX, EDQUOT, 0, EDQUOT},
        {"failing at the close", good.get(), "/tiny/a.ini", 64, SIZE_MAX, 0, ESTALE, ESTALE},
        {"flush and close failing", good.get(), "/tiny/a.ini", 64, SIZE_MAX, EDQUOT, ESTALE, EDQUOT},
    };
    TinyFs fs;
    ASSERT_EQ(kivo_mount("/tiny", &ops, &fs, nullptr), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs.data.clear();
        fs.chunk = c.chunk;
        fs.limit = c.limit;
        fs.fsync_result = c.fsync_result;
        fs.close_result = c.close_result;
        kivo_err_t err = -1;
        EXPECT_EQ(iniparser_store(c.d, c.path, &err), c.err == 0 ? 0 : -1);
        EXPECT_EQ(err, c.err);
    }
    EXPECT_EQ(kivo_umount("/tiny"), 0);
}

}  // namespace
