#include "foundation/CZelXmlDocument.h"

#include "foundation/CZelCodePage.h"
#include "foundation/CZelFile.h"
#include "foundation/CZelXmlNodeImpl.h"
#include "foundation/CZelXmlParser.h"
#include "foundation/CZelXmlWriter.h"

#include <new>
#include <vector>

namespace {

constexpr char kOpenForLoad[] = "R|SrSw";
constexpr char kEncodingAttr[] = "encoding";
constexpr char kUtf8Name[] = "utf-8";
constexpr char kWin1251Name[] = "windows-1251";
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

CZelXmlNode NewDocumentNode()
{
    return CZelXmlNodeImpl::New(CZelXmlNode::kDocument, CZelString());
}

bool IsAscii(const CZelString& value)
{
    for (char c : value.View())
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// One value from the code page to UTF-8; false when the conversion gives nothing for a value
// that had bytes (so the caller can refuse instead of blanking it).
bool ToUtf8(const CZelString& value, int codePage, CZelString& converted)
{
    CZelString utf8 = WideToUtf8(ToWide(value, codePage));
    // The wide-to-UTF-8 step drops one trailing zero unit; a value may really end in NUL.
    if (value[value.Length() - 1] == '\0')
        utf8 += CZelString("", 1);
    if (utf8.IsEmpty())
        return false;
    converted = utf8;
    return true;
}

struct ValueChange {
    CZelXmlNodeImpl* node;
    bool text;
    size_t index;
    CZelString value;
};

// Every attribute and text value of every element below the document node, converted;
// false when one of them cannot be.
bool CollectConversions(CZelXmlNodeImpl* documentNode, int codePage, std::vector<ValueChange>& changes)
{
    std::vector<CZelXmlNodeImpl*> work{documentNode};
    while (!work.empty()) {
        CZelXmlNodeImpl* node = work.back();
        work.pop_back();
        for (CZelXmlNodeImpl* child = node->firstChild; child; child = child->next)
            work.push_back(child);
        if (node->kind != CZelXmlNode::kElement)
            continue;
        for (bool text : {false, true}) {
            const CZelXmlAttrList& list = text ? node->texts : node->attrs;
            for (size_t i = 0; i < list.Count(); ++i) {
                const CZelString value = list.At(i).Value();
                if (IsAscii(value))
                    continue;
                CZelString converted;
                if (!ToUtf8(value, codePage, converted))
                    return false;
                changes.push_back({node, text, i, converted});
            }
        }
    }
    return true;
}

} // namespace

CZelXmlDocument::CZelXmlDocument() : m_docType(kDefaultDocType)
{
    try {
        m_node = NewDocumentNode();
    } catch (const std::bad_alloc&) {
        // a null document node: every query answers empty
    }
}

CZelXmlDocument::CZelXmlDocument(const CZelXmlDocument& source, bool deep)
    : m_docType(source.m_docType), m_node(deep ? source.m_node.Clone(true) : source.m_node)
{
}

bool CZelXmlDocument::Create(const CZelString& docType, const CZelString& rootName)
{
    try {
        CZelXmlNode node = NewDocumentNode();
        CZelXmlElement root(rootName);
        if (root.IsNull() || !node.AddChild(root))
            return false;
        m_node = std::move(node);
        m_docType = docType;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CZelXmlDocument::Parse(const CZelString& text, CZelString* error, int* line, int* column)
{
    CZelXmlParseResult result;
    const bool ok = CZelXmlParser::Parse(text, result);
    if (error)
        *error = result.error;
    if (line)
        *line = result.line;
    if (column)
        *column = result.column;
    if (!ok)
        return false;
    m_node = std::move(result.documentNode);
    if (result.hasDocType)
        m_docType = result.docType;
    return true;
}

bool CZelXmlDocument::LoadFile(const CZelString& fileName, int fileErrorMode, CZelString* error,
                               int* line, int* column)
{
    if (error)
        *error = CZelString();
    if (line)
        *line = 0;
    if (column)
        *column = 0;
    CZelFile file(fileName, kOpenForLoad, fileErrorMode);
    if (!file.IsOpen())
        return false;
    const CZelString text = file.ReadAll(kMaxFileSize);
    if (file.IsSet())
        return false;
    file.Close();
    CZelXmlDocument loaded;
    loaded.m_docType = kDefaultDocType;
    if (!loaded.Parse(text, error, line, column))
        return false;
    *this = std::move(loaded);
    return true;
}

CZelString CZelXmlDocument::ToText(int32_t initialSize, const CZelString& indent,
                                   const CZelString& indentStep, const CZelString& newline) const
{
    const CZelXmlFormat format{indent.View(), indentStep.View(), newline.View()};
    return CZelXmlWriter::WriteDocument(m_docType, m_node, initialSize, format);
}

bool CZelXmlDocument::SaveFile(const CZelString& fileName, int fileErrorMode, const CZelString& indent,
                               const CZelString& indentStep, const CZelString& newline) const
{
    CZelString text = ToText(-1, indent, indentStep, newline);
    if (text.IsEmpty())
        return false;
    const CZelXmlNode declaration = FirstDeclaration();
    if (!declaration.IsNull() && declaration.GetAttr(kEncodingAttr) == kUtf8Name)
        text = CZelString(kUtf8Bom) + text;
    if (text.IsEmpty())
        return false;
    return CZelFile::SaveWholeFile(fileName, text, fileErrorMode);
}

bool CZelXmlDocument::ConvertToUtf8(int codePage)
{
    // Decide everything before changing anything, so a refusal leaves the document as it was.
    std::vector<CZelXmlNode> declarations;
    for (CZelXmlNode node = m_node.FirstChild(); !node.IsNull(); node = node.NextSibling()) {
        if (node.Kind() != CZelXmlNode::kDeclaration)
            continue;
        const CZelString encoding = node.GetAttr(kEncodingAttr);
        if (declarations.empty() && encoding == kUtf8Name)
            return true;  // already UTF-8
        if (codePage == -1 && encoding == kWin1251Name)
            codePage = kCodePageWin1251;
        declarations.push_back(node);
    }
    if (codePage == -1 || m_node.IsNull())
        return false;
    try {
        std::vector<ValueChange> changes;
        if (!CollectConversions(m_node.Impl(), codePage, changes))
            return false;
        for (CZelXmlNode& declaration : declarations)
            if (!declaration.SetAttr(kEncodingAttr, kUtf8Name))
                return false;
        for (const ValueChange& change : changes)
            (change.text ? change.node->texts : change.node->attrs).SetValueAt(change.index, change.value);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

CZelXmlNode CZelXmlDocument::RootElement() const
{
    for (CZelXmlNode node = m_node.FirstChild(); !node.IsNull(); node = node.NextSibling())
        if (node.Kind() == CZelXmlNode::kElement)
            return node;
    return CZelXmlNode();
}

CZelXmlNode CZelXmlDocument::FirstDeclaration() const
{
    for (CZelXmlNode node = m_node.FirstChild(); !node.IsNull(); node = node.NextSibling())
        if (node.Kind() == CZelXmlNode::kDeclaration)
            return node;
    return CZelXmlNode();
}
