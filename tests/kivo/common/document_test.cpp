#include "kivo/common/document.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kivo/common/stream.h"
#include "kivo/common/variant.h"

namespace {

using kivo::StringView;

typedef std::vector<std::pair<std::string, int32_t>> Items;

struct Pair {
    std::string key;
    std::string value;
    int32_t kind;
    bool operator==(const Pair& o) const { return key == o.key && value == o.value && kind == o.kind; }
};
typedef std::vector<Pair> Pairs;

std::ostream& operator<<(std::ostream& os, const Pair& p)
{
    return os << "(" << p.key << ", \"" << p.value << "\", " << p.kind << ")";
}

void CollectItem(void* context, const char* data, size_t length, int32_t kind)
{
    static_cast<Items*>(context)->push_back(std::make_pair(std::string(data, length), kind));
}

void CollectPair(void* context, const char* key, size_t key_length, const char* value, size_t value_length,
                 int32_t kind)
{
    static_cast<Pairs*>(context)->push_back(Pair{std::string(key, key_length), std::string(value, value_length), kind});
}

Items List(const std::string& text, bool* ok)
{
    Items items;
    *ok = kivo::DocParseList(&CollectItem, &items, text);
    return items;
}

Pairs Dict(const std::string& text, bool* ok)
{
    Pairs pairs;
    *ok = kivo::DocParseDict(&CollectPair, &pairs, text);
    return pairs;
}

TEST(DocumentTest, DetectKind)
{
    const std::pair<const char*, int32_t> rows[] = {
        {"  [1] \n", 1}, {"[1} ", 0}, {"", 0},  {"{a}", 2},  {" \t{\r\n}\n", 2},
        {"[", 0},        {"x[1]", 0}, {"  ", 0}, {"[]", 1}, {"{]", 0},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.second, kivo::DocDetectKind(row.first)) << "'" << row.first << "'";
}

TEST(DocumentTest, ParseList)
{
    struct Row {
        const char* text;
        bool ok;
        Items expect;
    };
    const Row rows[] = {
        {"[1, -2.5e1, abc, 'x y', [3], {k:1}]", true,
         {{"1", 3}, {"-2.5e1", 4}, {"abc", 5}, {"x y", 0}, {"[3]", 1}, {"{k:1}", 2}}},
        {"[1, a-b, 2]", false, {{"1", 3}, {"a", 5}}},
        {"a b,c", true, {{"a", 6}, {"b", 6}, {"c", 6}}},
        {"x # note\ny", true, {{"x", 6}, {"y", 6}}},
        {"'''a'b'''", true, {{"a'b", 0}}},
        {"['a', '', 2]", true, {{"a", 0}, {"2", 3}}},
        {"[\"q\\\"x\", 'y']", true, {{"q\\\"x", 0}, {"y", 0}}},
        {"[1 , 2 ]", true, {{"1", 3}, {"2", 3}}},
        {"[ 'a]', {'b': ']'} ]", true, {{"a]", 0}, {"{'b': ']'}", 2}}},
        {"[0x1F, 1e3, 0.5, +7]", true, {{"0x1F", 3}, {"1e3", 4}, {"0.5", 4}, {"+7", 3}}},
        {"a, ,b", true, {{"a", 6}, {"b", 6}}},
        {"'x'] y", true, {{"x", 0}, {"y", 6}}},
        {"[]", true, {}},
        {"", true, {}},
        {" \n ", true, {}},
        // Malformed input ends the list with what was read.
        {"a 'b", false, {{"a", 6}}},
        {"[1, [2, 3", false, {{"1", 3}}},
        {"a [b c", false, {{"a", 6}}},
        {"[1, -x, 2]", false, {{"1", 3}}},
        {"[1 2]", false, {{"1", 3}}},
        {"[''']", false, {}},
    };
    for (const Row& row : rows) {
        bool ok = !row.ok;
        EXPECT_EQ(row.expect, List(row.text, &ok)) << row.text;
        EXPECT_EQ(row.ok, ok) << row.text;
    }
}

TEST(DocumentTest, ParseDict)
{
    struct Row {
        const char* text;
        bool ok;
        Pairs expect;
    };
    const Row rows[] = {
        {"a = 1; b = 'two' # c\nc", true, {{"a", "1", 6}, {"b", "two", 0}}},
        {"{'a': 1, 'b': [1,2]}", true, {{"a", "1", 3}, {"b", "[1,2]", 1}}},
        {"{a: 1}", false, {}},
        {"{}", true, {}},
        {" {'a':1,} ", true, {{"a", "1", 3}}},
        {"[s1]\nx=1\n[s2]\ny=2", true, {{"s1", "\nx=1\n", 0}, {"s2", "\ny=2", 0}}},
        {"[s1] x\n  [9]\nv", true, {{"s1", " x\n", 0}, {"9", "\nv", 0}}},
        {"[s.1]\nx", false, {}},
        {"[s1]\n[s2", false, {{"s1", "\n", 0}}},
        {"k=v\n=x\n y = \n'q k' = \"v 1\"\n[a] = [1, 2]\n", true,
         {{"k", "v", 6}, {"y", "", 6}, {"q k", "v 1", 0}, {"[a]", "[1, 2]", 1}}},
        {"  ;;  a=1;;b=2 ", true, {{"a", "1", 6}, {"b", "2", 6}}},
        {"a=1 # c\nb = x y \n", true, {{"a", "1", 6}, {"b", "x y", 6}}},
        {"{' ': 1, 'k': \"v\"}", true, {{"k", "v", 0}}},
        {"{'k': abc, 'n': -3.5}", true, {{"k", "abc", 5}, {"n", "-3.5", 4}}},
        {"{'': 1, 'k': 2}", false, {}},
        {"{'a' 1}", false, {}},
        {"{'a': -}", false, {}},
        // Unterminated quotes and brackets end the parse.
        {"'abc = 1", false, {}},
        {"a = 'unterminated\nb = 2", false, {}},
        {"a = 1\nb = [1, 2\nc = 3", false, {{"a", "1", 6}}},
        {"{'a': 1, 'b", false, {{"a", "1", 3}}},
    };
    for (const Row& row : rows) {
        bool ok = !row.ok;
        EXPECT_EQ(row.expect, Dict(row.text, &ok)) << row.text;
        EXPECT_EQ(row.ok, ok) << row.text;
    }
}

TEST(DocumentTest, ParseAttributes)
{
    Pairs pairs;
    EXPECT_FALSE(kivo::DocParseAttributes(&CollectPair, &pairs, "x=\"1\" y='2' 9 = \"n\" -b=\"z\""));
    const Pairs expect = {{"x", "1", 0}, {"y", "2", 0}, {"9", "n", 0}};
    EXPECT_EQ(expect, pairs);
    pairs.clear();
    EXPECT_FALSE(kivo::DocParseAttributes(&CollectPair, &pairs, "a=1"));  // values must be quoted
    EXPECT_TRUE(pairs.empty());
    EXPECT_TRUE(kivo::DocParseAttributes(&CollectPair, &pairs, " k='v w'  "));
    ASSERT_EQ(1u, pairs.size());
    EXPECT_EQ("v w", pairs[0].value);
}

TEST(DocumentTest, WriteString)
{
    struct Row {
        const char* text;
        char quote;
        int32_t mode;
        const char* expect;
    };
    const Row rows[] = {
        {"12", '\'', 2, "12"},           {"12 x", '\'', 2, "'12 x'"},  {"{a}", '\'', 2, "{a}"},
        {"[x]", '\'', 2, "[x]"},         {"-2.5e3", '\'', 2, "-2.5e3"}, {"", '\'', 2, "''"},
        {"0x1F", '\'', 2, "0x1F"},       {"abc", '\'', 0, "abc"},     {"abc", '\'', 1, "'abc'"},
        {"a'b", '"', 1, "\"a'b\""},      {"12", '\'', 1, "'12'"},     {"x", '"', 2, "\"x\""},
        // Texts the plain form would not give back: an open bracket is
        // quoted, a quote inside takes another quote form.
        {"  [x", '\'', 2, "'  [x'"},     {"[1]x", '\'', 2, "'[1]x'"}, {"a'b", '\'', 1, "'''a'b'''"},
        {"a'", '\'', 1, "\"a'\""},
        // The reader drops blanks around a bracket or a number.
        {"  [x]", '\'', 2, "'  [x]'"},   {"-2.5e3  ", '\'', 2, "'-2.5e3  '"}, {"-\n2", '\'', 2, "'-\n2'"},
    };
    for (const Row& row : rows) {
        std::string out;
        EXPECT_TRUE(kivo::DocWriteString(kivo::io_base::StringWriteProc, &out, row.text, row.quote, row.mode));
        EXPECT_EQ(row.expect, out) << row.text << " mode " << row.mode;
    }
}

TEST(DocumentTest, DocListKeepsSlices)
{
    const std::string text = "[1, 'b c', [2], x]";
    kivo::DocList list(text);
    ASSERT_EQ(4u, list.Size());
    EXPECT_EQ(text.data() + 5, list[1].Data());  // a slice of the text, not a copy
    EXPECT_EQ(1, list.Find("b c"));
    EXPECT_EQ(-1, list.Find("zz"));
    std::string out = "old";
    list.ToString(out, 1);
    EXPECT_EQ("[1,'b c',[2],'x']", out);
    EXPECT_TRUE(list.ToString(out, 0));
    EXPECT_EQ("1,b c,[2],x", out);
    list.Parse("q");
    EXPECT_EQ(1u, list.Size());
    EXPECT_EQ(0, list.Find("q"));
}

TEST(DocumentTest, DocDictStyles)
{
    kivo::DocDict dict("{'z': 1, 'a': 'x', 'q': '[1]'}");
    ASSERT_EQ(3u, dict.Size());
    std::string out;
    dict.ToString(out, 1);
    EXPECT_EQ("{'z':1,'a':'x','q':[1]}", out);  // text order
    dict.ToString(out, 0);
    EXPECT_EQ("z=1\na='x'\nq=[1]\n", out);
    dict.ToString(out, 2);
    EXPECT_EQ("[z]\n1\n[a]\nx\n[q][1]\n", out);  // on a line of its own "[1]" would be a section
    dict.Parse("k = v");
    ASSERT_EQ(1u, dict.Size());
    EXPECT_EQ("k", dict[0].first.ToString());
    EXPECT_EQ("v", dict[0].second.ToString());
}

TEST(DocumentTest, ValuesToTextsInThreeStyles)
{
    const kivo::Var d("{'a': 1, 'b': 'x', 'c': [1, 'y']}", true);
    const struct {
        int32_t style;
        const char* expect;
    } rows[] = {
        {1, "{'a':1,'b':'x','c':[1,'y']}"},
        {0, "a=1\nb='x'\nc=[1,'y']\n"},
        {2, "[a]\n1\n[b]\nx\n[c][1,'y']\n"},  // a section body is the text itself
    };
    for (const auto& row : rows) {
        std::string out;
        EXPECT_TRUE(kivo::DocWriteVar(kivo::io_base::StringWriteProc, &out, d, row.style));
        EXPECT_EQ(row.expect, out) << row.style;
    }
    std::string out;
    kivo::DocWriteVar(kivo::io_base::StringWriteProc, &out, kivo::Var("[1, 'a']", true), 0);
    EXPECT_EQ("1,'a'", out);
    out.clear();
    kivo::DocWriteVar(kivo::io_base::StringWriteProc, &out, kivo::Var("t"), 1);
    EXPECT_EQ("t", out);  // a text alone reads back as itself
}

// Texts written in one style read back to the same values.
TEST(DocumentTest, StylesReadBack)
{
    const kivo::Var sections("{'s1': {'x': 1}, 's2': {'y': 'z'}}", true);
    std::string ini;
    kivo::DocWriteVar(kivo::io_base::StringWriteProc, &ini, sections, 2);
    EXPECT_EQ("[s1]\n{'x':1}\n[s2]\n{'y':'z'}\n", ini);
    kivo::Var back("{}", true);
    EXPECT_TRUE(back.Assign(kivo::Var(ini)));
    EXPECT_EQ(sections.ToString(), back.ToString());

    const kivo::Var lines("{'a': 'x', 'b': [1]}", true);
    std::string text;
    kivo::DocWriteVar(kivo::io_base::StringWriteProc, &text, lines, 0);
    kivo::Var back2("{}", true);
    EXPECT_TRUE(back2.Assign(kivo::Var(text)));
    EXPECT_EQ(lines.ToString(), back2.ToString());
}

TEST(DocumentTest, ReadAllAndLines)
{
    char buf[] = "hello";
    kivo::StreamBuff::Context ctx(buf, 5, 5);
    std::string out;
    EXPECT_TRUE(kivo::DocReadAll(out, &ctx, 3));
    EXPECT_EQ("hel", out);
    EXPECT_TRUE(kivo::DocReadAll(out, &ctx, 10));
    EXPECT_EQ("lo", out);
    EXPECT_FALSE(kivo::DocReadAll(out, &ctx, 10));
    EXPECT_EQ("", out);

    char text[] = "ab\ncd\n\nlong line";
    kivo::StreamBuff::Context lines(text, sizeof(text) - 1, sizeof(text) - 1);
    bool nl = false;
    const struct {
        bool ok;
        const char* line;
        bool newline;
    } rows[] = {
        {true, "ab", true}, {true, "cd", true}, {true, "", true}, {true, "long", false},
        {true, " lin", false}, {true, "e", false}, {false, "", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.ok, kivo::DocReadLine(out, &lines, 4, &nl)) << row.line;
        EXPECT_EQ(row.line, out);
        EXPECT_EQ(row.newline, nl) << row.line;
    }
    out = "keep";
    EXPECT_FALSE(kivo::DocReadLine(out, &lines, 0, &nl));
    EXPECT_EQ("keep", out);
}

TEST(DocumentTest, SliceReadsNothingPastTheEnd)
{
    kivo::DocSlice sl("ab");
    EXPECT_EQ('a', sl.Peek());
    sl.SetPos(100);
    EXPECT_TRUE(sl.AtEnd());
    EXPECT_EQ(2u, sl.Pos());
    StringView item;
    int32_t kind = -1;
    EXPECT_FALSE(sl.ReadItem(kivo::DocSlice::kWord, &item, &kind));
    EXPECT_DEATH(sl.Peek(), "n < _num");
}

}  // namespace

namespace {

std::string WriteVar(const kivo::Var& v, int32_t style)
{
    std::string out;
    EXPECT_TRUE(kivo::DocWriteVar(kivo::io_base::StringWriteProc, &out, v, style));
    return out;
}

// A written text read back as the writer's callers read it: the line and
// section styles of a dictionary assigned into one, the rest as Var's own
// text.
kivo::Var ReadVar(const std::string& text, int32_t style, bool dict)
{
    if (style == 1 || !dict)
        return kivo::Var(text, true);
    kivo::Var d("{}", true);
    EXPECT_TRUE(d.Assign(kivo::Var(text)));
    return d;
}

kivo::Var TextList(const std::vector<std::string>& texts)
{
    kivo::Var v("[]", true);
    for (const std::string& t : texts)
        v.Append(kivo::Var(t));
    return v;
}

kivo::Var TextDict(const std::vector<std::pair<std::string, std::string>>& pairs)
{
    kivo::Var v("{}", true);
    for (const auto& p : pairs)
        v.Set(p.first, kivo::Var(p.second));
    return v;
}

}  // namespace

// A value written and read again is the same value, and the written text is
// a fixed point: reading it and writing it again gives the same bytes.
TEST(DocumentTest, WrittenValuesReadBackEqual)
{
    const struct {
        const char* name;
        kivo::Var value;
        int32_t style;
    } rows[] = {
        {"quotes in list items", TextList({"it's", "a'''b'", "'", "x\"y'z"}), 1},
        {"quotes in dictionary values", TextDict({{"k", "x'y"}, {"b", "["}, {"c", "'''"}}), 1},
        {"quote in a line value", TextDict({{"k", "x'y"}}), 0},
        {"text alone", kivo::Var("''"), 1},
        {"text alone, line style", kivo::Var("a b"), 0},
        {"bracket text alone", kivo::Var("["), 1},
    };
    for (const auto& row : rows) {
        const std::string text = WriteVar(row.value, row.style);
        const bool dict = row.value.TypeId() == typeid(std::map<std::string, kivo::Var>);
        const kivo::Var back = ReadVar(text, row.style, dict);
        EXPECT_EQ(row.value.ToString(), back.ToString()) << row.name << ": " << text;
        EXPECT_EQ(text, WriteVar(back, row.style)) << row.name;
        EXPECT_EQ(text, WriteVar(ReadVar(text, row.style, dict), row.style)) << row.name;
    }
}

// What a text reads as is printed again as the same text, in every style:
// the writers' own output reads back as itself.
TEST(DocumentTest, WrittenTextsAreFixedPoints)
{
    const struct {
        const char* text;
        int32_t style;
    } rows[] = {
        {"{'3[a':'['}", 1},       // a text that only opens a bracket
        {"{'k':'[1]x'}", 1},      // a bracket that does not span the text
        {"{'k':\"it's\"}", 1},    // a quote inside
        {"{'k':\"it's\"}", 0},
        {"{'1= xy':2,' k;':'v'}", 0},  // a key no raw line key can carry
        {"{'n':-\t\n2.5}", 0},          // a number token across a line end
        {"[s]\nx=1\n[t]\ny", 2},  // section bodies keep their lines
        {"{'s':'v'}", 2},
        {"{'s':1,'t':[2]}", 2},
        {"{'s':'a','t':'b'}", 2},
        {"{'s':[1,2],'t':'  [x'}", 2},  // a body that opens with '['
    };
    for (const auto& row : rows) {
        const kivo::DocDict first(row.text);
        std::string once;
        first.ToString(once, row.style);
        const kivo::DocDict second(once);
        std::string twice;
        second.ToString(twice, row.style);
        EXPECT_EQ(once, twice) << row.text << " style " << row.style;
        const kivo::Var v = ReadVar(once, row.style, true);
        const std::string vonce = WriteVar(v, row.style);
        EXPECT_EQ(vonce, WriteVar(ReadVar(vonce, row.style, true), row.style)) << row.text << " style " << row.style;
    }
    const char* lists[] = {"['[', ']']", "[\"it's\"]", "['a]', '{b']"};
    for (const char* text : lists) {
        const kivo::DocList first(text);
        std::string once;
        first.ToString(once, 1);
        std::string twice;
        kivo::DocList(once).ToString(twice, 1);
        EXPECT_EQ(once, twice) << text;
    }
}

namespace {

std::string Trim(const std::string& t)
{
    const size_t a = t.find_first_not_of(" \t\r\n");
    return a == std::string::npos ? std::string() : t.substr(a, t.find_last_not_of(" \t\r\n") - a + 1);
}

// Whether b has the shape of a and the same leaves. Where `exact`, a number
// stays a number and a text a text, except that an infinite or NaN number may come back as
// the text it is written as; elsewhere leaves compare by their text without
// blanks at its ends (bare items, line values and section bodies read back
// as texts, bodies with their line breaks).
bool SameTree(const kivo::Var& a, const kivo::Var& b, bool exact)
{
    const int32_t ta = a.GetType();
    const int32_t tb = b.GetType();
    if (ta == kivo::Var::TYPE_VECTOR || ta == kivo::Var::TYPE_DICT) {
        if (tb != ta || a.Size() != b.Size())
            return false;
        if (ta == kivo::Var::TYPE_VECTOR) {
            const auto& x = *static_cast<const std::vector<kivo::Var>*>(a._Payload());
            const auto& y = *static_cast<const std::vector<kivo::Var>*>(b._Payload());
            for (size_t i = 0; i < x.size(); ++i) {
                if (!SameTree(x[i], y[i], exact))
                    return false;
            }
            return true;
        }
        const auto& x = *static_cast<const std::map<std::string, kivo::Var>*>(a._Payload());
        const auto& y = *static_cast<const std::map<std::string, kivo::Var>*>(b._Payload());
        for (const auto& it : x) {
            const auto j = y.find(it.first);
            if (j == y.end() || !SameTree(it.second, j->second, exact))
                return false;
        }
        return true;
    }
    if (tb == kivo::Var::TYPE_VECTOR || tb == kivo::Var::TYPE_DICT)
        return false;
    const bool na = ta <= kivo::Var::TYPE_DOUBLE;
    const bool nb = tb <= kivo::Var::TYPE_DOUBLE;
    if (exact && na != nb && !(ta == kivo::Var::TYPE_DOUBLE && !std::isfinite(a.ToDouble())))
        return false;
    if (exact)
        return a.ToString(0) == b.ToString(0);
    return Trim(a.ToString(0)) == Trim(b.ToString(0));
}

kivo::Var List(std::initializer_list<kivo::Var> items)
{
    kivo::Var v("[]", true);
    for (const kivo::Var& item : items)
        v.Append(item);
    return v;
}

kivo::Var Map(std::initializer_list<std::pair<const char*, kivo::Var>> items)
{
    kivo::Var v("{}", true);
    for (const auto& item : items)
        v.Set(item.first, item.second);
    return v;
}

// A written text read back as its callers read it: braces as Var's own
// text, the other styles assigned into a container of the tree's kind.
kivo::Var ReadTree(const std::string& text, int32_t style, const kivo::Var& like)
{
    if (style == 1)
        return kivo::Var(text, true);
    kivo::Var v(like.GetType() == kivo::Var::TYPE_DICT ? "{}" : "[]", true);
    v.Assign(kivo::Var(text));
    return v;
}

}  // namespace

// Trees whose plain text would read back as something else: a list whose
// first item is a list (bare items would read as that list alone), an empty
// or blank key (the braced reader stops at it, the others drop it), -inf
// and -nan (no word begins so) and a text no quote form carries (a double
// quote and an apostrophe at its end), and in section style a name or body
// that the section reader splits otherwise. The writer gives a text that
// reads back equal, or refuses the tree and writes nothing.
TEST(DocumentTest, TreesReadBackEqualOrAreRefused)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const kivo::Var both("x\"'");
    const struct {
        const char* name;
        kivo::Var tree;
        int32_t style;
        const char* text;  // null: refused
    } rows[] = {
        {"list first, bare", List({List({1, 2}), 3}), 0, "[[1,2],3]"},
        {"list first, sections", List({List({1, 2}), 3}), 2, "[[1,2],3]"},
        {"list first, braces", List({List({1, 2}), 3}), 1, "[[1,2],3]"},
        {"list later, bare", List({3, List({1, 2})}), 0, "3,[1,2]"},
        {"dict first, bare", List({Map({{"a", 1}}), 3}), 0, "{'a':1},3"},
        {"empty key, braces", Map({{"", 1}, {"a", 2}, {"b", 3}}), 1, nullptr},
        {"empty key, lines", Map({{"", 1}, {"a", 2}}), 0, nullptr},
        {"empty key, sections", Map({{"", 1}, {"a", 2}}), 2, nullptr},
        {"blank key, braces", Map({{" \t", 1}, {"a", 2}}), 1, nullptr},
        {"empty key inside", List({1, Map({{"", 1}})}), 1, nullptr},
        {"-inf in a list", List({1.5, -inf, 2}), 1, "[1.5,'-inf',2]"},
        {"-inf in a dict", Map({{"a", -inf}, {"b", 2}}), 1, "{'a':'-inf','b':2}"},
        {"-nan in a list", List({-nan, 1}), 1, "['-nan',1]"},
        {"inf and nan", List({inf, nan, 1}), 1, "[inf,nan,1]"},
        // Bare items and line values are raw: -inf reads back as its text.
        {"-inf, bare", List({-inf, 1}), 0, "-inf,1"},
        {"-inf, lines", Map({{"a", -inf}}), 0, "a=-inf\n"},
        {"both quotes in a list", List({1, both}), 1, nullptr},
        {"both quotes in a dict", Map({{"k", both}}), 1, nullptr},
        {"both quotes as a key", Map({{"x\"'", 1}}), 1, nullptr},
        {"both quotes nested", List({List({both})}), 1, nullptr},
        {"both quotes, bare", List({both}), 0, nullptr},
        // A section is named by one word, and a body line that opens with
        // '[' begins the next section, even inside quotes.
        {"section name of two words", Map({{"a b", 1}}), 2, nullptr},
        {"section name after a comment", Map({{"#\n1", 1}}), 2, nullptr},
        {"section body opening a line", Map({{"s", Map({{"v\n[x", 1}})}}), 2, nullptr},
        {"section body in brackets", Map({{"s", List({1, 2})}, {"t", 2}}), 2, "[s][1,2]\n[t]\n2\n"},
        {"quotes the reader carries", List({"a\"'b", "'x\"", "it's"}), 1, "['''a\"'b''',''''x\"''','''it's''']"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string out = "old";
        const bool ok = kivo::DocWriteVar(kivo::io_base::StringWriteProc, &out, row.tree, row.style);
        if (!row.text) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(out, "old");  // nothing written
            continue;
        }
        ASSERT_TRUE(ok);
        ASSERT_EQ(out.substr(0, 3), "old");
        out.erase(0, 3);
        EXPECT_EQ(out, row.text);
        EXPECT_TRUE(SameTree(row.tree, ReadTree(out, row.style, row.tree), row.style == 1)) << out;
    }
    // The value writer and the document lists refuse as the trees do.
    std::string out;
    EXPECT_FALSE(kivo::DocWriteString(kivo::io_base::StringWriteProc, &out, StringView("x\"'"), '\'', 1));
    EXPECT_EQ(out, "");
    const std::string text = "[[1,2],3]";
    const kivo::DocList list{StringView(text)};
    ASSERT_EQ(list.Size(), 2u);
    EXPECT_TRUE(list.ToString(out, 0));
    EXPECT_EQ(out, "[[1,2],3]");
    EXPECT_EQ(kivo::DocList(StringView(out)).Size(), 2u);
}
