#include "foundation/CZelXmlDocument.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct BadInput {
    std::string text;
    const char* error;
    int line;
    int column;
};

std::ostream& operator<<(std::ostream& os, const BadInput& input)
{
    return os << '"' << input.text << '"';
}

class MalformedXml : public ::testing::TestWithParam<BadInput> {};

TEST_P(MalformedXml, ReportsTheErrorAtItsLineAndColumnAndKeepsTheDocument)
{
    const BadInput& input = GetParam();
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Create("keep", "Kept"));
    CZelString error;
    int line = -1;
    int column = -1;
    EXPECT_FALSE(doc.Parse(CZelString(input.text), &error, &line, &column));
    EXPECT_EQ(error.ToStd(), input.error);
    EXPECT_EQ(line, input.line);
    EXPECT_EQ(column, input.column);
    EXPECT_EQ(doc.DocTypeName().ToStd(), "keep");
    EXPECT_EQ(doc.RootElement().Name().ToStd(), "Kept");
}

INSTANTIATE_TEST_SUITE_P(Table, MalformedXml, ::testing::Values(
    BadInput{"x", "'<' expected", 1, 1},
    BadInput{"<Root a=\"1\">text</Root>", "'<' expected", 1, 13},
    BadInput{"<Root a=\"1\"><C/>x<D/></Root>", "'<' expected", 1, 17},
    BadInput{"<", "missed element name after '<'", 1, 2},
    BadInput{"<  \n", "missed element name after '<'", 2, 1},
    BadInput{"<>", "element name expected after '<'", 1, 2},
    BadInput{"</>", "element name expected after '<'", 1, 3},
    BadInput{"<?", "element name expected after '<'", 1, 3},
    BadInput{"<1a/>", "element name expected after '<'", 1, 2},
    BadInput{"<a b=\"1\"></a", "expected '>' in closing element name", 1, 13},
    BadInput{"<a b=\"1\"></a x>", "expected '>' in closing element name", 1, 14},
    BadInput{"</a>", "element is not opened", 1, 3},
    BadInput{"< /a>", "element is not opened", 1, 4},
    BadInput{"<a b=\"1\"></b>", "element name to be closed mismatch", 1, 12},
    BadInput{"<a:b/>", "unexpected character in element name", 1, 3},
    BadInput{"<a.b/>", "unexpected character in element name", 1, 3},
    BadInput{"<a\x01/>", "unexpected character in element name", 1, 3},
    BadInput{"<\xD0\x96/>", "unexpected character in element name", 1, 3},  // UTF-8 letter
    BadInput{"<!-- note -->", "\"DOCTYPE\" is expected", 1, 3},
    BadInput{"<![CDATA[x]]>", "\"DOCTYPE\" is expected", 1, 3},
    BadInput{"<!", "\"DOCTYPE\" is expected", 1, 3},
    BadInput{"<!DOCTYPE>", "name of \"DOCTYPE\" is expected", 1, 10},
    BadInput{"<!DOCTYPE >", "name of \"DOCTYPE\" is expected", 1, 11},
    BadInput{"<!DOCTYPE doc x>", "'>' is expected", 1, 15},
    BadInput{"<a b=\"1\"", "'>' is expected", 1, 9},
    BadInput{"<a b=\"1\"/ x>", "'>' is expected", 1, 11},
    BadInput{"<a/>\n<b", "'>' is expected", 2, 3},
    BadInput{"<a 1=\"x\"/>", "attribute name is expected", 1, 4},
    BadInput{"<a b =\"1\"/>", "'=' is expected", 1, 5},
    BadInput{"<a b= \"1\"/>", "'\"' is expected", 1, 6},
    BadInput{"<a b='1'/>", "'\"' is expected", 1, 6},
    BadInput{"<Root>\n<a b='1'/>\n</Root>", "'\"' is expected", 2, 6},
    BadInput{"<a b=\"1/>", "'\"' not found", 1, 6},
    BadInput{"<a b=\"1\"c=\"2\"/>", "space or newline or '/' or '>' is expected", 1, 9},
    BadInput{"<?xml version=\"1.0\">", "'?' is expected", 1, 20},
    BadInput{"<?xml?x>", "'>' is expected", 1, 7},
    BadInput{"<a b=\"1\"?>", "'?' is unexpected", 1, 9},
    BadInput{"<a></a>", "element for new string is not opened", 1, 2},
    BadInput{"<a> \r\n </a>", "element for new string is not opened", 1, 2},
    BadInput{"<a b=\"1\">", "not all elements are closed", 1, 10},
    BadInput{"<a b=\"1\">\r\n<c/>\r\n", "not all elements are closed", 3, 1},
    // line counting: CR LF is one break, lone CR and lone LF one each, value bytes count too
    BadInput{"<R a=\"1\">\r\n\r\n  x", "'<' expected", 3, 3},
    BadInput{"<R a=\"1\">\r\rx", "'<' expected", 3, 1},
    BadInput{"<R a=\"1\">\n\r\nx", "'<' expected", 3, 1},
    BadInput{"<a b=\"x\ny\" c>", "'=' is expected", 2, 5},
    BadInput{"\xEF\xBB\xBFx", "'<' expected", 1, 1},
    BadInput{"<a b=\"\"><", "missed element name after '<'", 1, 10}));

TEST(XmlParse, AcceptsTheEdgesOfTheDialect)
{
    for (const std::string& text : std::vector<std::string>{
             "<a/>",
             "<Root a=\"1\"></Root>",
             "<Root a=\"1\">\r\n</Root>",
             std::string("\0<a/>\0", 6),
             "<a/><b/><!DOCTYPE late>",
             "< a / >",
             "<\xC0\xE1 \xE2\xA8=\"1\"/>",
             "<-a_1 _b=\"1\"/>",
             "<a b=\"1\"\r\n\tc=\"2\"/>",
             "<?xml?><!DOCTYPE doc><Root/>",
         }) {
        CZelXmlDocument doc;
        CZelString error;
        int line = 0;
        int column = 0;
        EXPECT_TRUE(doc.Parse(CZelString(text), &error, &line, &column))
            << text << ": " << error.ToStd() << " at " << line << ":" << column;
    }
}

TEST(XmlParse, KeepsTopLevelNodesDocTypeAndDeclarationAttributesInOrder)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse("<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<!DOCTYPE Reg>\r\n"
                          "<Root Id=\"5\"/>\r\n<Second/>\r\n"));
    EXPECT_EQ(doc.DocTypeName().ToStd(), "Reg");
    CZelXmlNode decl = doc.DocumentNode().FirstChild();
    EXPECT_EQ(decl.Kind(), CZelXmlNode::kDeclaration);
    EXPECT_EQ(decl.Name().ToStd(), "xml");
    ASSERT_EQ(decl.AttrCount(), 2);
    EXPECT_EQ(decl.AttrName(0).ToStd(), "version");
    EXPECT_EQ(decl.AttrValue(1).ToStd(), "windows-1251");
    EXPECT_EQ(doc.RootElement().Name().ToStd(), "Root");
    EXPECT_EQ(doc.RootElement().GetAttr("Id").ToStd(), "5");
    EXPECT_EQ(doc.RootElement().NextSibling().Name().ToStd(), "Second");
    EXPECT_EQ(doc.DocumentNode().ChildCount(), 3);
}

TEST(XmlParse, WithoutDocTypeLineTheNameStays)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Create("Config", "Config"));
    ASSERT_TRUE(doc.Parse("<Other/>"));
    EXPECT_EQ(doc.DocTypeName().ToStd(), "Config");
    EXPECT_EQ(doc.RootElement().Name().ToStd(), "Other");
}

TEST(XmlParse, DropsByteOrderMarks)
{
    for (const char* bom : {"\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"}) {
        CZelXmlDocument doc;
        ASSERT_TRUE(doc.Parse(CZelString(std::string(bom) + "<a x=\"1\"/>"))) << bom;
        EXPECT_EQ(doc.RootElement().GetAttr("x").ToStd(), "1");
    }
}

TEST(XmlParse, TextOnlyElementBecomesATextValueOfItsParent)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse("<P><A>one &amp; two</A><B></B><C>  </C><D>t< / D ></P>"));
    CZelXmlNode p = doc.RootElement();
    EXPECT_EQ(p.ChildCount(), 0);
    ASSERT_EQ(p.TextValueCount(), 4);
    EXPECT_EQ(p.GetTextValue("A").ToStd(), "one & two");
    bool found = false;
    EXPECT_EQ(p.GetTextValue("B", &found).ToStd(), "");
    EXPECT_TRUE(found);
    EXPECT_EQ(p.GetTextValue("C").ToStd(), "  ");
    EXPECT_EQ(p.GetTextValue("D").ToStd(), "t");
    EXPECT_EQ(p.TextValueName(3).ToStd(), "D");
}

TEST(XmlParse, ARepeatedTextValueKeepsItsPlace)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse("<P><A>1</A><B>2</B><A>3</A></P>"));
    CZelXmlNode p = doc.RootElement();
    ASSERT_EQ(p.TextValueCount(), 2);
    EXPECT_EQ(p.TextValueName(0).ToStd(), "A");
    EXPECT_EQ(p.TextValue(0).ToStd(), "3");
}

TEST(XmlParse, ARepeatedAttributeReplacesAndMovesToTheEnd)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse("<a x=\"1\" y=\"2\" x=\"3\"/>"));
    CZelXmlNode a = doc.RootElement();
    ASSERT_EQ(a.AttrCount(), 2);
    EXPECT_EQ(a.AttrName(0).ToStd(), "y");
    EXPECT_EQ(a.AttrName(1).ToStd(), "x");
    EXPECT_EQ(a.AttrValue(1).ToStd(), "3");
}

TEST(XmlParse, ManyAttributesInOneTagKeepTheRepeatRule)
{
    // 30 names, then every third one again: a repeat replaces the value and moves to the end.
    std::string text = "<a";
    for (int i = 0; i < 30; ++i)
        text += " k" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    for (int i = 0; i < 30; i += 3)
        text += " k" + std::to_string(i) + "=\"again" + std::to_string(i) + "\"";
    text += "/>";
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse(CZelString(text)));
    CZelXmlNode a = doc.RootElement();
    ASSERT_EQ(a.AttrCount(), 30);
    EXPECT_EQ(a.AttrName(0).ToStd(), "k1");
    EXPECT_EQ(a.AttrName(19).ToStd(), "k29");
    EXPECT_EQ(a.AttrName(20).ToStd(), "k0");
    EXPECT_EQ(a.AttrValue(29).ToStd(), "again27");
    EXPECT_EQ(a.GetAttr("k15").ToStd(), "again15");
    EXPECT_EQ(a.GetAttr("k16").ToStd(), "16");
}

TEST(XmlParse, AttributeValuesSpanLinesAndHoldGreaterThan)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse("<a v=\"x>y\r\nz\"/>"));
    EXPECT_EQ(doc.RootElement().GetAttr("v").ToStd(), "x>y\r\nz");
}

struct EntityCase {
    const char* escaped;
    std::string decoded;
};

TEST(XmlParse, DecodesEntitiesToSingleBytes)
{
    const EntityCase cases[] = {
        {"&lt;&gt;&quot;&amp;", "<>\"&"},
        {"&#233;", "\xE9"},
        {"&#1000;", "?"},
        {"&#0;", std::string(1, '\0')},
        {"&#13;&#10;", "\r\n"},
        {"&#0065;", "A"},
        {"&#12345;", "&#12345;"},
        {"&#x41;", "&#x41;"},
        {"&apos;", "&apos;"},
        {"&#;", "&#;"},
        {"&#65", "&#65"},
        {"&", "&"},
        {"a&amp", "a&amp"},
        {"&&lt;", "&<"},
    };
    for (const EntityCase& c : cases) {
        CZelXmlDocument doc;
        ASSERT_TRUE(doc.Parse(CZelString(std::string("<P><T>") + c.escaped + "</T><E v=\"" + c.escaped + "\"/></P>")))
            << c.escaped;
        EXPECT_EQ(doc.RootElement().GetTextValue("T").ToStd(), c.decoded) << c.escaped;
        EXPECT_EQ(doc.RootElement().FindChild("E").GetAttr("v").ToStd(), c.decoded) << c.escaped;
    }
}

TEST(XmlParse, NamesAreNeverDecoded)
{
    CZelXmlDocument doc;
    EXPECT_FALSE(doc.Parse("<a&lt;/>"));
}

TEST(XmlParse, ParsesOneHundredThousandNestedElements)
{
    constexpr int kDepth = 100000;
    std::string text;
    for (int i = 0; i < kDepth; ++i)
        text += "<e a=\"1\">";
    for (int i = 0; i < kDepth; ++i)
        text += "</e>";
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse(CZelString(text)));
    int depth = 0;
    for (CZelXmlNode node = doc.RootElement(); !node.IsNull(); node = node.FirstChild())
        ++depth;
    EXPECT_EQ(depth, kDepth);

    // copied deep, the copy stands alone: the source tree goes first, then the copy
    CZelXmlNode copy = doc.RootElement().Clone(true);
    CZelXmlDocument duplicate(doc, true);
    ASSERT_TRUE(doc.Parse(CZelString("<R/>")));
    depth = 0;
    CZelXmlNode deepest;
    for (CZelXmlNode node = copy; !node.IsNull(); node = node.FirstChild()) {
        EXPECT_EQ(node.GetAttr("a").ToStd(), "1");
        deepest = node;
        ++depth;
    }
    EXPECT_EQ(depth, kDepth);
    copy = CZelXmlNode();
    EXPECT_TRUE(deepest.Parent().IsNull());     // its ancestors are gone, it lives on its handle
    depth = 0;
    for (CZelXmlNode node = duplicate.RootElement(); !node.IsNull(); node = node.FirstChild())
        ++depth;
    EXPECT_EQ(depth, kDepth);

    // unclosed at that depth: reported, and the partial tree is freed
    text.resize(text.size() - 4);
    CZelString error;
    EXPECT_FALSE(doc.Parse(CZelString(text), &error));
    EXPECT_EQ(error.ToStd(), "not all elements are closed");
}

} // namespace
