#include "kivo/common/xml.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kivo::DocXmlNode;
using kivo::DocXmlParse;
using kivo::StringView;

typedef std::vector<std::string> Nodes;

// One line per node: "</>" for an end marker, "@owner.name=value" for an
// attribute, "name" or "name=value" otherwise.
std::string Describe(const DocXmlNode& n)
{
    if (n.IsEnd())
        return "</>";
    if (n.IsAttr())
        return "@" + n._owner.ToString() + "." + n._name.ToString() + "=" + n._val.ToString();
    std::string s = n._name.ToString();
    if (n._val.Size() != 0)
        s += "=" + n._val.ToString();
    return s;
}

Nodes Read(const std::string& text)
{
    DocXmlParse xml;
    EXPECT_TRUE(xml.Parse(text, 8));
    Nodes out;
    while (const DocXmlNode* n = xml.Next())
        out.push_back(Describe(*n));
    return out;
}

Nodes WholeText(const std::string& text)
{
    return Nodes{"text=" + text, "</>"};
}

std::string Dump(const std::string& text)
{
    DocXmlParse xml(text, 8);
    std::string out;
    EXPECT_TRUE(xml.Dump(kivo::io_base::StringWriteProc, &out));
    return out;
}

std::string Nested(size_t depth)
{
    std::string s;
    for (size_t i = 0; i < depth; ++i)
        s += "<e>";
    s += "x";
    for (size_t i = 0; i < depth; ++i)
        s += "</e>";
    return s;
}

struct Row {
    const char* text;
    Nodes nodes;
};

TEST(XmlTest, ReadsNodes)
{
    const Row rows[] = {
        {"", {}},
        {"<a x=\"1\" y='2'>hi</a>", {"@a.x=1", "@a.y=2", "a=hi", "</>", "</>", "</>"}},
        {"<a><b/>tail</a>", {"a", "b", "</>", "a=tail", "</>", "</>"}},
        {"<a></>", {"a", "</>"}},
        // An end tag without a word for a name closes whatever is open.
        {"<a></!!>", {"a", "</>"}},
        {"<a>v</ 'x'>", {"a=v", "</>"}},
        {"<a><b></!!></a>", {"a", "b", "</>", "</>"}},
        {"<a>x</a >", {"a=x", "</>"}},
        {"<?xml version=\"1.0\"?><r/>", {"@xml.version=1.0", "xml", "</>", "</>", "r", "</>"}},
        {"<a><b k='v'/><?p q=\"1\"?></a>", {"a", "@b.k=v", "b", "</>", "</>", "@p.q=1", "p", "</>", "</>", "</>"}},
        {"<a><b>x</b><c>y</c></a>", {"a", "b=x", "</>", "c=y", "</>", "</>"}},
        // Top-level data: "text" nodes whose end markers come at the end.
        {"hello", {"text=hello", "</>"}},
        {"x<r/>y", {"text=x", "r", "</>", "text=y", "</>", "</>"}},
        // Comments and declarations are passed over; "<>" too.
        {"<!DOCTYPE r><r><!-- c -->v</r>", {"r=v", "</>"}},
        {"<a><-- c > d --->v</a>", {"a=v", "</>"}},
        {"<a><>v</a>", {"a=v", "</>"}},
        {"<a>v<!-- open", WholeText("<a>v<!-- open")},
        // A '>' inside a quoted run does not end the tag.
        {"<a t=\">\" u='/'/>", {"@a.t=>", "@a.u=/", "a", "</>", "</>", "</>"}},
        // Tag names are words: the rest of "my-tag" is attribute text that
        // is no attribute; a nameless start tag is skipped.
        {"<my-tag>v</my-tag>", {"my=v", "</>"}},
        {"<a>< 'x'>v</a>", {"a=v", "</>"}},
        // Attribute text stops at the first malformed pair.
        {"<a x=\"1\" y z=\"2\"/>", {"@a.x=1", "a", "</>", "</>"}},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.nodes, Read(r.text)) << r.text;
}

TEST(XmlTest, ReplacesEntitiesInCharacterData)
{
    const std::pair<const char*, const char*> rows[] = {
        {"<a>1 &lt; 2 &amp;&amp; b</a>", "1 < 2 && b"},
        {"<a>&quot;q&quot; &apos;s&apos; &gt;</a>", "\"q\" 's' >"},
        {"<a>&amp;lt;</a>", "&lt;"},
        {"<a>&amp;amp;</a>", "&amp;"},
        {"<a>&nbsp;&#65;&lt</a>", "&nbsp;&#65;&lt"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(Nodes({std::string("a=") + r.second, "</>"}), Read(r.first)) << r.first;

    EXPECT_EQ(Nodes({"text=<&>", "</>"}), Read("&lt;&amp;&gt;"));
    // Attribute values are taken as they stand.
    EXPECT_EQ(Nodes({"@a.t=&lt;", "a", "</>", "</>"}), Read("<a t=\"&lt;\"/>"));
}

// Data arriving after the element's value is set (behind a comment or a
// processing instruction) is kept as a text node instead of stopping.
TEST(XmlTest, KeepsDataAfterTheValue)
{
    EXPECT_EQ(Nodes({"a=x", "a=y", "</>", "</>"}), Read("<a>x<!-- c -->y</a>"));
    EXPECT_EQ(Nodes({"a=x", "p", "</>", "a=y", "</>", "</>"}), Read("<a>x<?p?>y</a>"));
    EXPECT_EQ(Nodes({"a", "b", "</>", "a=x", "a=y", "</>", "</>", "</>"}), Read("<a><b/>x<!---->y</a>"));
}

TEST(XmlTest, MalformedBecomesOneTextNode)
{
    const char* rows[] = {
        "<a></b>", "<a>", "</a>", "<a>x", "x</a>", "<a><b></a>", "<a></1>", "</!!>", "abc<", "<a", "a<b",
        "<a t=\"x>hi</a>", "<a t='>", "<?p", "</a", "<r/></r>",
    };
    for (const char* text : rows)
        EXPECT_EQ(WholeText(text), Read(text)) << text;
}

TEST(XmlTest, RefusesNestingPastTheLimit)
{
    const std::string ok = Nested(DocXmlParse::kMaxDepth);
    const Nodes nodes = Read(ok);
    ASSERT_EQ(2 * DocXmlParse::kMaxDepth, nodes.size());
    EXPECT_EQ("e", nodes.front());
    EXPECT_EQ("e=x", nodes[DocXmlParse::kMaxDepth - 1]);

    const std::string deep = Nested(DocXmlParse::kMaxDepth + 1);
    EXPECT_EQ(WholeText(deep), Read(deep));
    // Far deeper than any stack would take when read recursively.
    const std::string deeper = Nested(200000);
    EXPECT_EQ(WholeText(deeper), Read(deeper));
}

TEST(XmlTest, NodeQueriesAndCursor)
{
    const std::string text = "<a k=\"v\">x</a>";
    DocXmlParse xml(text, 0);
    const DocXmlNode* attr = xml.Next();
    ASSERT_NE(nullptr, attr);
    EXPECT_TRUE(attr->IsAttr());
    EXPECT_FALSE(attr->IsEnd());
    EXPECT_EQ("a", attr->Name().ToString());  // the owner
    EXPECT_EQ("v", attr->Value().ToString());
    const DocXmlNode* elem = xml.Next();
    ASSERT_NE(nullptr, elem);
    EXPECT_FALSE(elem->IsAttr());
    EXPECT_EQ("a", elem->Name().ToString());
    EXPECT_EQ("x", elem->Value().ToString());
    EXPECT_TRUE(xml.Next()->IsEnd());
    xml.SkipAll();
    EXPECT_EQ(nullptr, xml.Next());

    // Parsing again rewinds and replaces the nodes.
    xml.Parse("<b/>", 0);
    const DocXmlNode* b = xml.Next();
    ASSERT_NE(nullptr, b);
    EXPECT_EQ("b", b->Name().ToString());
    ASSERT_NE(nullptr, xml.Next());
    EXPECT_EQ(nullptr, xml.Next());
    EXPECT_EQ(nullptr, DocXmlParse().Next());
}

// A value with entities lives in a buffer of its own; it can be parsed
// again by the parser that holds it, and its nodes stay valid after the
// caller lets go of the view.
TEST(XmlTest, ParsesItsOwnValueAgain)
{
    DocXmlParse xml("<a>&lt;b k=&quot;v&quot;&gt;x&lt;/b&gt;</a>", 0);
    const DocXmlNode* a = xml.Next();
    ASSERT_NE(nullptr, a);
    EXPECT_EQ("<b k=\"v\">x</b>", a->Value().ToString());
    xml.Parse(a->Value(), 0);
    Nodes nodes;
    while (const DocXmlNode* n = xml.Next())
        nodes.push_back(Describe(*n));
    EXPECT_EQ(Nodes({"@b.k=v", "b=x", "</>", "</>"}), nodes);

    xml.Parse(StringView(std::string("<c>y</c>"), kivo::DeepCopy()), 0);
    const DocXmlNode* c = xml.Next();
    ASSERT_NE(nullptr, c);
    EXPECT_EQ("y", c->Value().ToString());
}

TEST(XmlTest, Dump)
{
    const std::pair<const char*, const char*> rows[] = {
        {"<a>hi</a>", "<a>\n  hi\n</>\n"},
        {"<a><b>x</b><c/></a>", "<a>\n  <b>\n    x\n  </>\n  <c>\n  </>\n</>\n"},
        {"<a x=\"1\">hi</a>", "<a> attr: x=\"1\"\n<a>\n  hi\n  </>\n</>\n"},
        {"t<r/>", "<text>\n  t\n  <r>\n  </>\n</>\n"},
        {"", ""},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.second, Dump(r.first)) << r.first;
}

bool FailAfterTwo(void* context, const char*, size_t)
{
    return ++*static_cast<int*>(context) <= 2;
}

TEST(XmlTest, DumpStopsWhenTheWriterFails)
{
    DocXmlParse xml("<a><b/><c/></a>", 0);
    int calls = 0;
    EXPECT_FALSE(xml.Dump(&FailAfterTwo, &calls));
    EXPECT_EQ(3, calls);
}

}  // namespace
