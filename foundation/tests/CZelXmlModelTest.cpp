#include "foundation/CZelXmlDocument.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> AttrNames(const CZelXmlNode& node)
{
    std::vector<std::string> names;
    for (int32_t i = 0; i < node.AttrCount(); ++i)
        names.push_back(node.AttrName(i).ToStd());
    return names;
}

std::vector<std::string> ChildTags(const CZelXmlNode& node)
{
    std::vector<std::string> tags;
    for (CZelXmlNode child = node.FirstChild(); !child.IsNull(); child = child.NextSibling())
        tags.push_back(child.Name().ToStd() + child.GetAttr("n").ToStd());
    return tags;
}

CZelXmlNode Tagged(const char* name, const char* n)
{
    CZelXmlElement element(name);
    element.SetAttr("n", n);
    return element;
}

TEST(XmlModel, NullHandleAnswersEmptyAndRefusesChanges)
{
    CZelXmlNode null;
    EXPECT_TRUE(null.IsNull());
    EXPECT_TRUE(null.Name().IsEmpty());
    EXPECT_EQ(null.Kind(), CZelXmlNode::kNone);
    bool found = true;
    EXPECT_TRUE(null.GetAttr("a", &found).IsEmpty());
    EXPECT_FALSE(found);
    EXPECT_FALSE(null.SetAttr("a", "1"));
    EXPECT_FALSE(null.RemoveAttr("a"));
    EXPECT_FALSE(null.SetTextValue("a", "1"));
    EXPECT_FALSE(null.Rename("x"));
    EXPECT_FALSE(null.AddChild(CZelXmlElement("c")));
    EXPECT_FALSE(CZelXmlElement("p").AddChild(null));
    EXPECT_FALSE(null.Detach());
    EXPECT_TRUE(null.FirstChild().IsNull());
    EXPECT_TRUE(null.FindChild("c").IsNull());
    EXPECT_TRUE(null.NextSameName().IsNull());
    EXPECT_TRUE(null.Clone(true).IsNull());
    EXPECT_EQ(null.ChildCount(), 0);
    EXPECT_FALSE(null.AttrRef("a").Exists());
}

TEST(XmlModel, ResettingAnAttributeMovesItToTheEnd)
{
    CZelXmlElement e("e");
    e.SetAttr("a", "1");
    e.SetAttr("b", "2");
    e.SetAttr("c", "3");
    e.SetAttr("a", "4");
    EXPECT_EQ(AttrNames(e), (std::vector<std::string>{"b", "c", "a"}));
    EXPECT_EQ(e.GetAttr("a").ToStd(), "4");
    EXPECT_TRUE(e.RemoveAttr("c"));
    EXPECT_FALSE(e.RemoveAttr("c"));
    EXPECT_EQ(AttrNames(e), (std::vector<std::string>{"b", "a"}));
    EXPECT_TRUE(e.GetAttr("A").IsEmpty());  // names are case-sensitive
}

TEST(XmlModel, ManyAttributesStayFindableThroughEveryChange)
{
    // Past a handful of names the lookup switches to a hash table; it must follow every change.
    CZelXmlElement e("e");
    for (int i = 0; i < 40; ++i)
        e.SetAttr(CZelString(("k" + std::to_string(i)).c_str()), CZelString(std::to_string(i).c_str()));
    for (int i = 0; i < 40; i += 3)
        EXPECT_TRUE(e.RemoveAttr(CZelString(("k" + std::to_string(i)).c_str())));
    e.SetAttr("k1", "again");
    for (int i = 0; i < 40; ++i) {
        bool found = false;
        const std::string value = e.GetAttr(CZelString(("k" + std::to_string(i)).c_str()), &found).ToStd();
        EXPECT_EQ(found, i % 3 != 0) << i;
        if (found) {
            EXPECT_EQ(value, i == 1 ? "again" : std::to_string(i)) << i;
        }
    }
    EXPECT_EQ(e.AttrName(e.AttrCount() - 1).ToStd(), "k1");
    for (int i = 0; i < 40; ++i)
        e.RemoveAttr(CZelString(("k" + std::to_string(i)).c_str()));
    EXPECT_EQ(e.AttrCount(), 0);
    e.SetAttr("k5", "x");
    EXPECT_EQ(e.GetAttr("k5").ToStd(), "x");
}

TEST(XmlModel, ResettingATextValueKeepsItsPlace)
{
    CZelXmlElement e("e");
    e.SetTextValue("a", "1");
    e.SetTextValue("b", "2");
    e.SetTextValue("a", "3");
    ASSERT_EQ(e.TextValueCount(), 2);
    EXPECT_EQ(e.TextValueName(0).ToStd(), "a");
    EXPECT_EQ(e.TextValue(0).ToStd(), "3");
    EXPECT_TRUE(e.RemoveTextValue("a"));
    EXPECT_EQ(e.TextValueName(0).ToStd(), "b");
}

TEST(XmlModel, AttrRefReadsComparesAssignsAndFindsTheChild)
{
    CZelXmlElement e("e");
    e["Id"] = "7";
    EXPECT_TRUE(e["Id"] == "7");
    EXPECT_FALSE(e["Id"] == "07");
    EXPECT_EQ(CZelString(e.AttrRef("Id")).ToStd(), "7");
    e["Copy"] = e["Id"];  // copies the value, not the accessor
    EXPECT_EQ(e.GetAttr("Copy").ToStd(), "7");
    EXPECT_FALSE(e["None"].Exists());
    CZelXmlElement list("Id");
    e.AddChild(list);
    EXPECT_TRUE(e["Id"].Child() == list);
    EXPECT_TRUE(e["Id"].Remove());
    EXPECT_FALSE(e["Id"].Exists());
}

TEST(XmlModel, FindChildAndNextSameNameWalkRepeatedElements)
{
    CZelXmlElement root("Root");
    for (const auto& [name, n] : std::vector<std::pair<const char*, const char*>>{
             {"a", "1"}, {"b", "1"}, {"a", "2"}, {"c", "1"}, {"a", "3"}, {"b", "2"}})
        ASSERT_TRUE(root.AddChild(Tagged(name, n)));
    int32_t count = 0;
    std::string seen;
    for (CZelXmlNode a = root.FindChild("a", &count); !a.IsNull(); a = a.NextSameName())
        seen += a.GetAttr("n").ToStd();
    EXPECT_EQ(count, 3);
    EXPECT_EQ(seen, "123");
    EXPECT_TRUE(root.FindChild("zz", &count).IsNull());
    EXPECT_EQ(count, 0);
    EXPECT_EQ(root.ChildCount(), 6);

    CZelXmlNode a2 = root.FindChild("a").NextSameName();
    EXPECT_TRUE(root.FindChildByAttr("a", "n", "2") == a2);
    EXPECT_TRUE(root.FindChildByAttr("a", "n", "2", a2).IsNull());
    EXPECT_TRUE(root.FindChildByAttr("a", "m", "2").IsNull());
    EXPECT_TRUE(root.FindChildByAttr("b", "n", "2") == root.LastChild());
}

TEST(XmlModel, NameIndexFollowsRemoveAndRename)
{
    CZelXmlElement root("Root");
    for (const char* n : {"1", "2", "3"})
        root.AddChild(Tagged("a", n));
    root.AddChild(Tagged("b", "1"));
    int32_t count = 0;

    // removing the first of a name hands "first" to the next one
    CZelXmlNode first = root.FindChild("a");
    EXPECT_TRUE(root.RemoveChild(first));
    EXPECT_EQ(root.FindChild("a", &count).GetAttr("n").ToStd(), "2");
    EXPECT_EQ(count, 2);
    EXPECT_TRUE(first.Parent().IsNull());
    EXPECT_EQ(first.GetAttr("n").ToStd(), "1");  // the body lives on in its handle
    EXPECT_FALSE(root.RemoveChild(first));

    // a later node renamed to a name placed after it becomes that name's first
    CZelXmlNode a3 = root.FindChild("a").NextSameName();
    root.AddChild(Tagged("c", "1"));
    EXPECT_TRUE(a3.Rename("c"));
    EXPECT_EQ(root.FindChild("c", &count).GetAttr("n").ToStd(), "3");
    EXPECT_EQ(count, 2);
    EXPECT_EQ(root.FindChild("a", &count).GetAttr("n").ToStd(), "2");
    EXPECT_EQ(count, 1);

    // the last of a name renamed away: the name is gone
    EXPECT_TRUE(root.FindChild("a").Rename("b"));
    EXPECT_TRUE(root.FindChild("a", &count).IsNull());
    EXPECT_EQ(count, 0);
    EXPECT_EQ(root.FindChild("b", &count).GetAttr("n").ToStd(), "2");
    EXPECT_EQ(count, 2);

    EXPECT_TRUE(root.FindChild("b").Detach());
    EXPECT_EQ(root.FindChild("b", &count).GetAttr("n").ToStd(), "1");
    EXPECT_EQ(count, 1);
    EXPECT_EQ(ChildTags(root), (std::vector<std::string>{"c3", "b1", "c1"}));
}

TEST(XmlModel, NameIndexWithManyDistinctNames)
{
    CZelXmlElement root("Root");
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 50; ++i)
            root.AddChild(Tagged(("n" + std::to_string(i)).c_str(), std::to_string(round).c_str()));
    for (int i = 0; i < 50; i += 2)
        root.FindChild(CZelString(("n" + std::to_string(i)).c_str())).Detach();
    for (int i = 0; i < 50; ++i) {
        int32_t count = 0;
        CZelXmlNode found = root.FindChild(CZelString(("n" + std::to_string(i)).c_str()), &count);
        EXPECT_EQ(count, i % 2 ? 2 : 1) << i;
        EXPECT_EQ(found.GetAttr("n").ToStd(), i % 2 ? "0" : "1") << i;
    }
}

TEST(XmlModel, AddChildRefusesParentedSelfAndAncestors)
{
    CZelXmlElement a("a");
    CZelXmlElement b("b");
    CZelXmlElement c("c");
    ASSERT_TRUE(a.AddChild(b));
    ASSERT_TRUE(b.AddChild(c));
    EXPECT_FALSE(a.AddChild(a));
    EXPECT_FALSE(a.AddChild(b));   // already has a parent
    EXPECT_FALSE(c.AddChild(a));   // would make a loop
    EXPECT_EQ(a.ChildCount(), 1);
    EXPECT_TRUE(c.Parent() == b);
    EXPECT_TRUE(a.Parent().IsNull());
    EXPECT_TRUE(c.Detach());
    EXPECT_FALSE(c.Detach());
    EXPECT_TRUE(a.AddChild(c));
    EXPECT_EQ(ChildTags(a), (std::vector<std::string>{"b", "c"}));
}

TEST(XmlModel, ChildrenLiveWhileTheirParentOrAHandleDoes)
{
    CZelXmlNode child;
    {
        CZelXmlElement parent("p");
        CZelXmlElement c("c");
        c.SetAttr("k", "v");
        parent.AddChild(c);
        child = c;
    }
    // the parent is gone, so the child is detached but alive
    EXPECT_TRUE(child.Parent().IsNull());
    EXPECT_EQ(child.GetAttr("k").ToStd(), "v");

    CZelXmlNode grandChild;
    {
        CZelXmlElement parent("p");
        CZelXmlElement c("c");
        CZelXmlElement g("g");
        parent.AddChild(c);
        c.AddChild(g);
        grandChild = g;
    }
    EXPECT_TRUE(grandChild.Parent().IsNull());
    EXPECT_EQ(grandChild.Name().ToStd(), "g");
}

TEST(XmlModel, ParsedNodesOutliveTheirTextAndDocument)
{
    CZelXmlNode item;
    CZelXmlNode clone;
    {
        CZelXmlDocument doc;
        CZelString text(std::string("<R><Item a=\"x&amp;y\" b=\"plain\"><T>t&lt;</T></Item></R>"));
        ASSERT_TRUE(doc.Parse(text));
        item = doc.RootElement().FindChild("Item");
        clone = item.Clone(true);
    }
    for (const CZelXmlNode& node : {item, clone}) {
        EXPECT_EQ(node.GetAttr("a").ToStd(), "x&y");
        EXPECT_EQ(node.AttrValue(1).ToStd(), "plain");
        EXPECT_EQ(node.GetTextValue("T").ToStd(), "t<");
    }
    EXPECT_TRUE(CZelXmlElement("R").FindChildByAttr("Item", "a", "x&y").IsNull());
    CZelXmlElement holder("R");
    ASSERT_TRUE(holder.AddChild(clone));
    EXPECT_TRUE(holder.FindChildByAttr("Item", "a", "x&y") == clone);
    EXPECT_TRUE(holder.FindChildByAttr("Item", "b", "plain") == clone);
    clone.SetAttr("a", "new");
    EXPECT_EQ(clone.GetAttr("a").ToStd(), "new");
    EXPECT_EQ(item.GetAttr("a").ToStd(), "x&y");
}

TEST(XmlModel, CloneCopiesEverythingButTheParent)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse("<R a=\"1\" b=\"2\"><T>text</T><C x=\"1\"><D y=\"2\"/></C><C x=\"2\"/></R>"));
    CZelXmlNode c = doc.RootElement().FindChild("C");
    CZelXmlNode deep = doc.RootElement().Clone(true);
    CZelXmlNode shallow = doc.RootElement().Clone(false);
    EXPECT_TRUE(deep.Parent().IsNull());
    EXPECT_EQ(AttrNames(deep), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(deep.GetTextValue("T").ToStd(), "text");
    int32_t count = 0;
    EXPECT_EQ(deep.FindChild("C", &count).FindChild("D").GetAttr("y").ToStd(), "2");
    EXPECT_EQ(count, 2);
    EXPECT_EQ(shallow.ChildCount(), 0);
    EXPECT_EQ(shallow.GetTextValue("T").ToStd(), "text");
    // independent of the source
    c.SetAttr("x", "9");
    EXPECT_EQ(deep.FindChild("C").GetAttr("x").ToStd(), "1");
}

TEST(XmlModel, DocumentCopiesShareOrDuplicateTheTree)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Create("doc", "Root"));
    const CZelXmlDocument shared(doc, false);
    const CZelXmlDocument plain(doc);  // an ordinary copy shares too
    const CZelXmlDocument deep(doc, true);
    doc.RootElement().SetAttr("k", "v");
    EXPECT_EQ(shared.RootElement().GetAttr("k").ToStd(), "v");
    EXPECT_EQ(plain.RootElement().GetAttr("k").ToStd(), "v");
    EXPECT_TRUE(deep.RootElement().GetAttr("k").IsEmpty());
    EXPECT_EQ(deep.DocTypeName().ToStd(), "doc");
}

TEST(XmlModel, CreateMakesOneRootAndNoDeclaration)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Create("Config", "Config"));
    EXPECT_EQ(doc.DocTypeName().ToStd(), "Config");
    EXPECT_EQ(doc.DocumentNode().ChildCount(), 1);
    EXPECT_EQ(doc.RootElement().Kind(), CZelXmlNode::kElement);
    EXPECT_EQ(doc.RootElement().Name().ToStd(), "Config");
    EXPECT_TRUE(CZelXmlDocument().RootElement().IsNull());
}

TEST(XmlModel, HandlesCrossThreadsSafely)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Create("doc", "Root"));
    const CZelXmlNode root = doc.RootElement();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([root] {
            for (int i = 0; i < 20000; ++i) {
                CZelXmlNode copy = root;
                CZelXmlNode again(copy);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    doc = CZelXmlDocument();
    EXPECT_EQ(root.Name().ToStd(), "Root");
}

// ---- conversion to UTF-8 ----

TEST(XmlModel, ConvertsAWindows1251DocumentToUtf8)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse("<?xml version=\"1.0\" encoding=\"windows-1251\"?><!DOCTYPE doc>"
                          "<Root t=\"\xCF\xF0\xE8\xE2\xE5\xF2\"><\xC8\xEC\xFF v=\"\xA8\"/><S>\xB8</S></Root>"));
    ASSERT_TRUE(doc.ConvertToUtf8());
    CZelXmlNode root = doc.RootElement();
    EXPECT_EQ(root.GetAttr("t").ToStd(), "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");  // Привет
    EXPECT_EQ(root.GetTextValue("S").ToStd(), "\xD1\x91");                                   // ё
    CZelXmlNode child = root.FirstChild();
    EXPECT_EQ(child.Name().ToStd(), "\xC8\xEC\xFF");  // names stay as they are
    EXPECT_EQ(child.GetAttr("v").ToStd(), "\xD0\x81");  // Ё
    CZelXmlNode decl = doc.DocumentNode().FirstChild();
    EXPECT_EQ(decl.GetAttr("encoding").ToStd(), "utf-8");
    EXPECT_EQ(decl.GetAttr("version").ToStd(), "1.0");
}

TEST(XmlModel, ConvertLeavesUtf8AndUnknownEncodingsAlone)
{
    for (const char* text : {"<?xml encoding=\"utf-8\"?><Root v=\"\xC3\xA9\"/>",
                             "<Root v=\"\xC3\xA9\"/>",
                             "<?xml encoding=\"koi8-r\"?><Root v=\"\xC3\xA9\"/>"}) {
        CZelXmlDocument doc;
        ASSERT_TRUE(doc.Parse(text));
        const std::string before = doc.ToText().ToStd();
        const bool declaredUtf8 = std::string(text).find("utf-8") != std::string::npos;
        EXPECT_EQ(doc.ConvertToUtf8(), declaredUtf8) << text;
        EXPECT_EQ(doc.ToText().ToStd(), before) << text;
    }
}

TEST(XmlModel, ConvertWithAnExplicitCodePageNeedsNoDeclaration)
{
    CZelXmlDocument doc;
    ASSERT_TRUE(doc.Parse("<Root v=\"\xE0\"/>"));
    ASSERT_TRUE(doc.ConvertToUtf8(1251));
    EXPECT_EQ(doc.RootElement().GetAttr("v").ToStd(), "\xD0\xB0");  // а
}

} // namespace
