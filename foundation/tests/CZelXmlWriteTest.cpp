#include "foundation/CZelXmlDocument.h"
#include "foundation/XTOOError.h"
#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

CZelXmlDocument FiveLineDocument()
{
    CZelXmlDocument doc;
    EXPECT_TRUE(doc.Create("doc", "Root"));
    CZelXmlNode root = doc.RootElement();
    root.SetAttr("Id", "1");
    CZelXmlElement item("Item");
    item.SetAttr("Name", "x");
    EXPECT_TRUE(root.AddChild(item));
    return doc;
}

TEST(XmlWrite, FiveLineDocumentInTheFileLayout)
{
    EXPECT_EQ(FiveLineDocument().ToText().ToStd(),
              "<?xml?>\r\n<!DOCTYPE doc>\r\n<Root Id=\"1\" >\r\n <Item Name=\"x\" />\r\n</Root>\r\n");
}

TEST(XmlWrite, FiveLineDocumentInTheRequestLayout)
{
    const std::string expected = "<?xml?>\n<!DOCTYPE doc>\n<Root Id=\"1\" >\n <Item Name=\"x\" />\n</Root>\n";
    EXPECT_EQ(FiveLineDocument().ToRequestText().ToStd(), expected);
    EXPECT_EQ(FiveLineDocument().ToText(-1, "", " ", "\n").ToStd(), expected);
    EXPECT_EQ(FiveLineDocument().ToText(0, "", " ", "\n").ToStd(), expected);  // tiny start buffer
}

TEST(XmlWrite, IndentIsAddedPerLevelAndBeforeEveryTopLevelLine)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse("<A x=\"1\"><B><C y=\"2\"/></B></A>"));
    EXPECT_EQ(doc.ToText(-1, ">", "..", "|").ToStd(),
              "<?xml?>|<!DOCTYPE doc>|><A x=\"1\" >|>..<B>|>....<C y=\"2\" />|>..</B>|></A>|");
}

TEST(XmlWrite, EmptyElementsWithAndWithoutAttributes)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Create("doc", "Root"));
    doc.RootElement().AddChild(CZelXmlElement("Bare"));
    CZelXmlElement with("With");
    with.SetAttr("a", "");
    doc.RootElement().AddChild(with);
    EXPECT_EQ(doc.ToText(-1, "", "", "\n").ToStd(),
              "<?xml?>\n<!DOCTYPE doc>\n<Root>\n<Bare/>\n<With a=\"\" />\n</Root>\n");
}

TEST(XmlWrite, TextValuesComeBeforeChildrenAndEmptyTextIsAnEmptyTag)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Create("doc", "Root"));
    CZelXmlNode root = doc.RootElement();
    root.AddChild(CZelXmlElement("Child"));
    root.SetTextValue("Note", "a<b");
    root.SetTextValue("Empty", "");
    EXPECT_EQ(doc.ToText(-1, "", " ", "\n").ToStd(),
              "<?xml?>\n<!DOCTYPE doc>\n<Root>\n <Note>a&lt;b</Note>\n <Empty/>\n <Child/>\n</Root>\n");

    // The empty text value comes back as an empty child element, not as a text value.
    CZelXmlDocument back;
    ASSERT_TRUE(back.Parse(doc.ToText()));
    EXPECT_EQ(back.RootElement().TextValueCount(), 1);
    EXPECT_EQ(back.RootElement().GetTextValue("Note").ToStd(), "a<b");
    int32_t count = 0;
    EXPECT_FALSE(back.RootElement().FindChild("Empty", &count).IsNull());
    EXPECT_EQ(count, 1);
}

TEST(XmlWrite, EscapesOnlyWhatTheParserNeedsAndReadsItBack)
{
    const std::string value = std::string("<\"&\r\n", 5) + std::string(1, '\0') + ">'\xE9";
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Create("doc", "Root"));
    doc.RootElement().SetAttr("v", CZelString(value));
    doc.RootElement().SetTextValue("T", CZelString(value));
    const std::string escaped = "&lt;&quot;&amp;&#13;&#10;&#0;>'\xE9";
    EXPECT_EQ(doc.ToText(-1, "", " ", "\n").ToStd(),
              "<?xml?>\n<!DOCTYPE doc>\n<Root v=\"" + escaped + "\" >\n <T>" + escaped + "</T>\n</Root>\n");
    CZelXmlDocument back;
    ASSERT_TRUE(back.Parse(doc.ToText()));
    EXPECT_EQ(back.RootElement().GetAttr("v").ToStd(), value);
    EXPECT_EQ(back.RootElement().GetTextValue("T").ToStd(), value);
}

TEST(XmlWrite, ValuesReadInAnotherSpellingAreWrittenInTheWritersOwn)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse("<P v=\"&gt;&#233;&#60;&apos;x&#x41;&#10;\" w=\"a\r\nb<c\" u=\"&lt;&quot;&amp;&#13;&#10;&#0;\">"
                          "<T>&#062;&#9;\n&</T></P>"));
    EXPECT_EQ(doc.ToText(-1, "", " ", "\n").ToStd(),
              "<?xml?>\n<!DOCTYPE doc>\n"
              "<P v=\">\xE9&lt;&amp;apos;x&amp;#x41;&#10;\" w=\"a&#13;&#10;b&lt;c\" u=\"&lt;&quot;&amp;&#13;&#10;&#0;\" >\n"
              " <T>>\t&#10;&amp;</T>\n"
              "</P>\n");
}

TEST(XmlWrite, XmlLineReadsBackAsADeclarationWrittenTheSameWay)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Create("doc", "Root"));
    const CZelString first = doc.ToText();
    CZelXmlDocument back;
    ASSERT_TRUE(back.Parse(first));
    CZelXmlNode decl = back.DocumentNode().FirstChild();
    EXPECT_EQ(decl.Kind(), CZelXmlNode::kDeclaration);
    EXPECT_EQ(decl.Name().ToStd(), "xml");
    EXPECT_EQ(decl.AttrCount(), 0);
    EXPECT_EQ(back.ToText().ToStd(), first.ToStd());
}

TEST(XmlWrite, DeclarationAttributesAreWrittenUnescaped)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse("<?xml version=\"1.0\" encoding=\"a&amp;b\"?><!DOCTYPE doc><Root/>"));
    EXPECT_EQ(doc.ToText(-1, "", " ", "\n").ToStd(),
              "<?xml version=\"1.0\" encoding=\"a&b\"?>\n<!DOCTYPE doc>\n<Root/>\n");

    CZelXmlNode unnamed = CZelXmlNode::NewDeclaration("");
    unnamed.SetAttr("version", "1.0");
    CZelXmlDocument fresh;
    ASSERT_TRUE(fresh.DocumentNode().AddChild(unnamed));
    EXPECT_EQ(fresh.ToText(-1, "", " ", "\n").ToStd(), "<?xml version=\"1.0\"?>\n<!DOCTYPE doc>\n");
}

TEST(XmlWrite, ADoubleQuoteInADeclarationValueStillReadsBack)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse("<?xml v=\"a&quot;b\"?><Root/>"));
    const CZelString text = doc.ToText(-1, "", " ", "\n");
    EXPECT_EQ(text.ToStd(), "<?xml v=\"a&quot;b\"?>\n<!DOCTYPE doc>\n<Root/>\n");
    CZelXmlDocument back;
    ASSERT_TRUE(back.Parse(text));
    EXPECT_EQ(back.DocumentNode().FirstChild().GetAttr("v").ToStd(), "a\"b");
}

TEST(XmlWrite, DeclarationsAfterTheFirstNodeAndInsideElementsStayInPlace)
{
    const std::string text = "<?xml?>\n<!DOCTYPE doc>\n<A x=\"1\" >\n <?pi k=\"v\"?>\n</A>\n<?tail?>\n";
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse(CZelString(text)));
    EXPECT_EQ(doc.ToText(-1, "", " ", "\n").ToStd(), text);
}

TEST(XmlWrite, RoundTripIsByteIdentical)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse("<?xml version=\"1.0\" encoding=\"utf-8\"?><!DOCTYPE Reg>"
                          "<Root Id=\"00000007\" Login=\"a&amp;b\"><Contacts><User email=\"x@y\" code=\"&#10;\"/>"
                          "<User email=\"z@y\"/></Contacts><Name>Ann</Name><Empty></Empty></Root>"));
    for (const char* newline : {"\r\n", "\n"}) {
        const CZelString once = doc.ToText(-1, "", " ", newline);
        CZelXmlDocument again;
        ASSERT_TRUE(again.Parse(once));
        const CZelString twice = again.ToText(-1, "", " ", newline);
        CZelXmlDocument third;
        ASSERT_TRUE(third.Parse(twice));
        // The empty text value turns into an empty element once; from then on nothing moves.
        EXPECT_EQ(third.ToText(-1, "", " ", newline).ToStd(), twice.ToStd());
    }
}

TEST(XmlWrite, OneHundredThousandNestedElementsWriteCopyAndFree)
{
    constexpr int kDepth = 100000;
    // Built from the leaf up: AddChild walks the new parent's ancestors to refuse loops, which
    // costs nothing for a parent that has none yet.
    CZelXmlNode node = CZelXmlElement("e");
    for (int i = 1; i < kDepth; ++i) {
        CZelXmlElement parent("e");
        parent.SetAttr("a", "1");
        ASSERT_TRUE(parent.AddChild(node));
        node = parent;
    }
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.DocumentNode().AddChild(node));
    node = CZelXmlNode();
    const CZelString text = doc.ToText(-1, "", "", "\n");
    ASSERT_FALSE(text.IsEmpty());
    const CZelXmlDocument copy(doc, true);
    doc = CZelXmlDocument();  // frees the original tree
    EXPECT_EQ(copy.ToText(-1, "", "", "\n").ToStd(), text.ToStd());
    CZelXmlDocument reparsed;
    ASSERT_TRUE(reparsed.Parse(text));
    EXPECT_EQ(reparsed.ToText(-1, "", "", "\n").ToStd(), text.ToStd());
}

// ---- files ----

class XmlFiles : public ::testing::Test {
protected:
    CZelString PathOf(const std::string& name) const { return CZelString((m_dir / name).string()); }
    std::string ReadBytes(const std::string& name) const
    {
        std::ifstream in(m_dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void WriteBytes(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(m_dir / name, std::ios::binary) << bytes;
    }

    velmo_testing::TempDir m_temp{"velmo-xml"};
    const fs::path m_dir = m_temp.Path();
};

TEST_F(XmlFiles, SaveWritesTheFileLayoutAndLoadReadsItBack)
{
    CZelXmlDocument doc = FiveLineDocument();
    ASSERT_TRUE(doc.SaveFile(PathOf("sub/dir/a.xml")));  // missing folders are made
    EXPECT_EQ(ReadBytes("sub/dir/a.xml"),
              "<?xml?>\r\n<!DOCTYPE doc>\r\n<Root Id=\"1\" >\r\n <Item Name=\"x\" />\r\n</Root>\r\n");
    CZelXmlDocument loaded;
    ASSERT_TRUE(loaded.LoadFile(PathOf("sub/dir/a.xml")));
    EXPECT_EQ(loaded.RootElement().FindChild("Item").GetAttr("Name").ToStd(), "x");
    EXPECT_EQ(loaded.ToText().ToStd(), ReadBytes("sub/dir/a.xml"));
}

TEST_F(XmlFiles, SaveReplacesAnOlderLongerFileCompletely)
{
    WriteBytes("a.xml", std::string(100000, 'z'));
    ASSERT_TRUE(FiveLineDocument().SaveFile(PathOf("a.xml")));
    EXPECT_EQ(ReadBytes("a.xml"), FiveLineDocument().ToText().ToStd());
    for (const auto& entry : fs::directory_iterator(m_dir))
        EXPECT_EQ(entry.path().filename(), "a.xml") << "temporary file left behind";
}

TEST_F(XmlFiles, ByteOrderMarkOnlyForADeclaredUtf8Document)
{
    struct Case {
        const char* text;
        bool bom;
    };
    for (const Case& c : {Case{"<?xml version=\"1.0\" encoding=\"utf-8\"?><R/>", true},
                          Case{"<?xml encoding=\"UTF-8\"?><R/>", false},
                          Case{"<?xml encoding=\"windows-1251\"?><R/>", false},
                          Case{"<R/><?xml encoding=\"utf-8\"?>", true},  // the first declaration counts
                          Case{"<?a?><?xml encoding=\"utf-8\"?><R/>", false},
                          Case{"<R/>", false}}) {
        CZelXmlDocument doc;
        ASSERT_TRUE(doc.Parse(c.text)) << c.text;
        ASSERT_TRUE(doc.SaveFile(PathOf("b.xml"))) << c.text;
        const std::string bytes = ReadBytes("b.xml");
        EXPECT_EQ(bytes.rfind("\xEF\xBB\xBF", 0) == 0, c.bom) << c.text;
        EXPECT_EQ(bytes.substr(c.bom ? 3 : 0), doc.ToText().ToStd()) << c.text;
        CZelXmlDocument back;
        EXPECT_TRUE(back.LoadFile(PathOf("b.xml"))) << c.text;  // the mark is dropped on reading
    }
}

TEST_F(XmlFiles, LoadFailuresLeaveTheDocumentAlone)
{
    CZelXmlDocument doc = FiveLineDocument();
    CZelString error = "stale";
    int line = -1;
    int column = -1;
    EXPECT_FALSE(doc.LoadFile(PathOf("missing.xml"), 0, &error, &line, &column));
    EXPECT_TRUE(error.IsEmpty());
    EXPECT_EQ(line, 0);

    WriteBytes("bad.xml", "<Root a=\"1\">\r\n  <b c='2'/>\r\n</Root>\r\n");
    EXPECT_FALSE(doc.LoadFile(PathOf("bad.xml"), 0, &error, &line, &column));
    EXPECT_EQ(error.ToStd(), "'\"' is expected");
    EXPECT_EQ(line, 2);
    EXPECT_EQ(column, 8);

    EXPECT_FALSE(doc.LoadFile(CZelString(m_dir.string()), 0, &error));  // a folder
    EXPECT_EQ(doc.ToText().ToStd(), FiveLineDocument().ToText().ToStd());
}

TEST_F(XmlFiles, LoadInErrorModeOneThrowsFileFailures)
{
    CZelXmlDocument doc = FiveLineDocument();
    EXPECT_THROW(doc.LoadFile(PathOf("missing.xml"), 1), XTOOError);
    WriteBytes("bad.xml", "<a>");
    CZelString error;
    EXPECT_FALSE(doc.LoadFile(PathOf("bad.xml"), 1, &error));  // a parse error is no file failure
    EXPECT_EQ(error.ToStd(), "not all elements are closed");
    EXPECT_EQ(doc.ToText().ToStd(), FiveLineDocument().ToText().ToStd());
}

TEST_F(XmlFiles, LoadNamesTheDocumentDocUnlessTheTextNamesIt)
{
    WriteBytes("plain.xml", "<Root/>");
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Create("Config", "Config"));
    ASSERT_TRUE(doc.LoadFile(PathOf("plain.xml")));
    EXPECT_EQ(doc.DocTypeName().ToStd(), "doc");
    WriteBytes("named.xml", "<!DOCTYPE Reg><Root/>");
    ASSERT_TRUE(doc.LoadFile(PathOf("named.xml")));
    EXPECT_EQ(doc.DocTypeName().ToStd(), "Reg");
}

TEST_F(XmlFiles, LoadReadsNoMoreThanThirtyMebibytes)
{
    std::string bytes = "<a/>";
    bytes.resize(static_cast<size_t>(CZelXmlDocument::kMaxFileSize), ' ');
    bytes += "x";  // beyond the limit: never read, so never an error
    WriteBytes("big.xml", bytes);
    CZelXmlDocument doc;
    CZelString error;
    EXPECT_TRUE(doc.LoadFile(PathOf("big.xml"), 0, &error)) << error.ToStd();
    EXPECT_EQ(doc.RootElement().Name().ToStd(), "a");
}

TEST_F(XmlFiles, SaveFailsWithoutTouchingTheTarget)
{
    fs::create_directories(m_dir / "taken");
    EXPECT_FALSE(FiveLineDocument().SaveFile(PathOf("taken")));  // a folder stands there
    EXPECT_TRUE(fs::is_directory(m_dir / "taken"));
    WriteBytes("blocker", "x");
    EXPECT_FALSE(FiveLineDocument().SaveFile(PathOf("blocker/a.xml")));  // a file where a folder must be
    EXPECT_EQ(ReadBytes("blocker"), "x");
}

} // namespace
