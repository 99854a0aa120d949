#include "foundation/CZelXmlParser.h"

#include "foundation/CZelXmlEntities.h"
#include "foundation/CZelXmlNodeImpl.h"

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

using namespace CZelXmlErrors;

constexpr uint8_t kSpaceByte = 1;
constexpr uint8_t kNameStartByte = 2;
constexpr uint8_t kNameByte = 4;

// Whitespace: space, tab, CR, LF and NUL. Names: ASCII letters, '-', '_', digits (not first) and
// the windows-1251 Cyrillic letters 0xA8, 0xB8, 0xC0..0xFF.
constexpr std::array<uint8_t, 256> kByteClass = [] {
    std::array<uint8_t, 256> table{};
    for (unsigned char c : {' ', '\t', '\r', '\n', '\0'})
        table[c] = kSpaceByte;
    for (int c = 0; c < 256; ++c) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_' ||
                            c == 0xA8 || c == 0xB8 || c >= 0xC0;
        if (letter)
            table[static_cast<size_t>(c)] = kNameStartByte | kNameByte;
        else if (c >= '0' && c <= '9')
            table[static_cast<size_t>(c)] = kNameByte;
    }
    return table;
}();

inline bool IsSpace(char c) { return kByteClass[static_cast<unsigned char>(c)] & kSpaceByte; }
inline bool IsNameStart(char c) { return kByteClass[static_cast<unsigned char>(c)] & kNameStartByte; }
inline bool IsNameByte(char c) { return kByteClass[static_cast<unsigned char>(c)] & kNameByte; }

class Parser {
public:
    Parser(const CZelString& source, std::string_view text)
        : m_source(source), m_begin(text.data()), m_end(text.data() + text.size()), m_p(m_begin)
    {
    }

    bool Run(CZelXmlParseResult& result);

private:
    static constexpr size_t kNameSlots = 1024;      // names shared per document (most repeat)
    static constexpr size_t kMaxSharedNames = 512;
    static constexpr size_t kMaxSharedNameLength = 64;
    static constexpr size_t kQuickNameChecks = 16;  // attributes of a tag checked by their bytes

    bool Fail(const char* text, const char* at)
    {
        m_error = text;
        m_errorAt = at;
        return false;
    }
    bool SkipSpaces()
    {
        const char* start = m_p;
        while (m_p < m_end && IsSpace(*m_p))
            ++m_p;
        return m_p != start;
    }
    std::string_view ReadName()
    {
        const char* start = m_p;
        if (m_p < m_end && IsNameStart(*m_p)) {
            ++m_p;
            while (m_p < m_end && IsNameByte(*m_p))
                ++m_p;
        }
        return {start, static_cast<size_t>(m_p - start)};
    }
    bool At(char c) const { return m_p < m_end && *m_p == c; }

    bool Step();
    bool CloseTag(std::string_view name, const char* nameAt);
    bool ReadDocType(bool spaceAfterKeyword);
    bool ReadAttributes();
    bool FinishDeclaration(std::string_view name);
    bool FinishElement(std::string_view name, const char* nameAt);
    int TryTextValue(std::string_view name, const char* nameAt);
    CZelString SharedName(std::string_view name);
    CZelXmlAttr RawEntry(std::string_view name, std::string_view raw);
    void AddAttribute(std::string_view name, std::string_view raw);
    void Append(std::unique_ptr<CZelXmlNodeImpl> node, bool open);
    void ReportPosition(CZelXmlParseResult& result) const;

    const CZelString& m_source;              // raw values point into it; nodes keep it alive
    const char* m_begin;
    const char* m_end;
    const char* m_p;
    const char* m_error = nullptr;
    const char* m_errorAt = nullptr;
    bool m_finished = false;

    CZelXmlNode m_document;                  // holds the tree until it is handed over
    CZelXmlNodeImpl* m_parent = nullptr;
    std::vector<CZelXmlNodeImpl*> m_open;    // the stack of open elements (the tree holds them)
    CZelString m_docType;
    bool m_hasDocType = false;

    CZelXmlAttrList m_attrs;                 // scratch for the tag being read
    std::array<std::string_view, kQuickNameChecks> m_tagNames;  // the tag's attribute names so far
    size_t m_tagNameCount = 0;
    std::array<CZelString, kNameSlots> m_names;  // in the parser object: no large allocation
    size_t m_sharedNames = 0;
};

bool Parser::Run(CZelXmlParseResult& result)
{
    bool ok = false;
    try {
        m_document = CZelXmlNodeImpl::New(CZelXmlNode::kDocument, CZelString());
        m_parent = m_document.Impl();
        ok = true;
        while (ok && !m_finished)
            ok = Step();
        if (ok && !m_open.empty())
            ok = Fail(kNotAllClosed, m_end);
    } catch (const std::bad_alloc&) {
        ok = Fail(kNoMemory, m_p);
    }
    if (!ok) {
        ReportPosition(result);
        return false;
    }
    result.documentNode = std::move(m_document);
    result.docType = m_docType;
    result.hasDocType = m_hasDocType;
    return true;
}

// One tag, with the whitespace before it.
bool Parser::Step()
{
    const char* lt = static_cast<const char*>(std::memchr(m_p, '<', static_cast<size_t>(m_end - m_p)));
    for (const char* q = m_p, *stop = lt ? lt : m_end; q < stop; ++q)
        if (!IsSpace(*q))
            return Fail(kLtExpected, q);
    if (!lt) {
        m_finished = true;
        return true;
    }
    m_p = lt + 1;
    SkipSpaces();
    if (m_p == m_end)
        return Fail(kMissedName, m_p);
    char marker = 0;
    if (*m_p == '/' || *m_p == '!' || *m_p == '?')
        marker = *m_p++;
    const char* nameAt = m_p;
    const std::string_view name = ReadName();
    if (marker == '!' ? name != "DOCTYPE" : name.empty())
        return Fail(marker == '!' ? kDocTypeExpected : kNameExpected, nameAt);
    const bool spaceAfter = SkipSpaces();
    if (marker == '/')
        return CloseTag(name, nameAt);
    if (!spaceAfter && m_p < m_end && *m_p != '/' && *m_p != '>' && !(marker == '?' && *m_p == '?'))
        return Fail(kUnexpectedInName, m_p);
    if (marker == '!')
        return ReadDocType(spaceAfter);
    if (!ReadAttributes())
        return false;
    return marker == '?' ? FinishDeclaration(name) : FinishElement(name, nameAt);
}

bool Parser::CloseTag(std::string_view name, const char* nameAt)
{
    if (!At('>'))
        return Fail(kCloseGtExpected, m_p);
    if (m_open.empty())
        return Fail(kNotOpened, nameAt);
    if (m_open.back()->name.View() != name)
        return Fail(kCloseMismatch, nameAt);
    m_open.pop_back();
    m_parent = m_open.empty() ? m_document.Impl() : m_open.back();
    ++m_p;
    return true;
}

bool Parser::ReadDocType(bool spaceAfterKeyword)
{
    const std::string_view name = spaceAfterKeyword ? ReadName() : std::string_view();
    if (name.empty())
        return Fail(kDocTypeNameExpected, m_p);
    SkipSpaces();
    if (!At('>'))
        return Fail(kGtExpected, m_p);
    ++m_p;
    m_docType = CZelString(name);
    m_hasDocType = true;
    return true;
}

bool Parser::ReadAttributes()
{
    m_tagNameCount = 0;
    for (;;) {
        SkipSpaces();
        if (m_p == m_end || *m_p == '/' || *m_p == '>' || *m_p == '?')
            return true;
        const std::string_view name = ReadName();
        if (name.empty())
            return Fail(kAttrNameExpected, m_p);
        if (!At('='))
            return Fail(kEqualsExpected, m_p);
        ++m_p;
        if (!At('"'))
            return Fail(kQuoteExpected, m_p);
        const char* quote = m_p++;
        const char* close = static_cast<const char*>(std::memchr(m_p, '"', static_cast<size_t>(m_end - m_p)));
        if (!close)
            return Fail(kQuoteNotFound, quote);
        const std::string_view raw(m_p, static_cast<size_t>(close - m_p));
        m_p = close + 1;
        if (m_p < m_end && !IsSpace(*m_p) && *m_p != '/' && *m_p != '>' && *m_p != '?')
            return Fail(kAfterValue, m_p);
        AddAttribute(name, raw);
    }
}

// A repeated name replaces the earlier value and moves to the end. The first names of a tag are
// told apart by their bytes, which is cheaper than the list's own lookup; past those the list's
// index decides, so a tag with very many attributes still costs linear time.
void Parser::AddAttribute(std::string_view name, std::string_view raw)
{
    if (m_tagNameCount < kQuickNameChecks) {
        bool repeated = false;
        for (size_t i = 0; i < m_tagNameCount && !repeated; ++i)
            repeated = m_tagNames[i] == name;
        if (!repeated) {
            m_attrs.AppendUnique(RawEntry(name, raw));
            m_tagNames[m_tagNameCount++] = name;
            return;
        }
    }
    m_attrs.SetMovingToEnd(RawEntry(name, raw));
}

bool Parser::FinishDeclaration(std::string_view name)
{
    if (!At('?'))
        return Fail(kQuestionExpected, m_p);
    ++m_p;
    SkipSpaces();
    if (!At('>'))
        return Fail(kGtExpected, m_p);
    ++m_p;
    Append(std::make_unique<CZelXmlNodeImpl>(CZelXmlNode::kDeclaration, SharedName(name)), false);
    return true;
}

bool Parser::FinishElement(std::string_view name, const char* nameAt)
{
    if (At('?'))
        return Fail(kQuestionUnexpected, m_p);
    bool empty = false;
    if (At('/')) {
        empty = true;
        ++m_p;
        SkipSpaces();
    }
    if (!At('>'))
        return Fail(kGtExpected, m_p);
    ++m_p;
    if (!empty && m_attrs.Empty()) {
        const int text = TryTextValue(name, nameAt);
        if (text != 0)
            return text > 0;
    }
    Append(std::make_unique<CZelXmlNodeImpl>(CZelXmlNode::kElement, SharedName(name)), !empty);
    return true;
}

// An element without attributes whose next tag is its own end tag holds only text: the text
// becomes a text value of the enclosing element and no node is made. 1 taken, 0 not, -1 error.
int Parser::TryTextValue(std::string_view name, const char* nameAt)
{
    const char* lt = static_cast<const char*>(std::memchr(m_p, '<', static_cast<size_t>(m_end - m_p)));
    if (!lt)
        return 0;
    const char* gt = static_cast<const char*>(std::memchr(lt + 1, '>', static_cast<size_t>(m_end - lt - 1)));
    if (!gt)
        return 0;
    const char* q = lt + 1;
    while (q < gt && IsSpace(*q))
        ++q;
    if (q == gt || *q != '/')
        return 0;
    ++q;
    while (q < gt && IsSpace(*q))
        ++q;
    if (static_cast<size_t>(gt - q) < name.size() || std::memcmp(q, name.data(), name.size()) != 0)
        return 0;
    q += name.size();
    while (q < gt && IsSpace(*q))
        ++q;
    if (q != gt)
        return 0;
    if (m_open.empty()) {
        Fail(kTextNotOpened, nameAt);
        return -1;
    }
    m_open.back()->texts.SetInPlace(RawEntry(name, {m_p, static_cast<size_t>(lt - m_p)}));
    m_p = gt + 1;
    return 1;
}

void Parser::Append(std::unique_ptr<CZelXmlNodeImpl> node, bool open)
{
    node->source = m_source;
    node->attrs.TakeExact(m_attrs);
    if (open && m_open.size() == m_open.capacity())
        m_open.reserve(m_open.size() * 2 + 16);  // before linking, so the push below cannot fail
    CZelXmlNodeImpl* linked = m_parent->Adopt(std::move(node));
    if (open) {
        m_open.push_back(linked);
        m_parent = linked;
    }
}

CZelXmlAttr Parser::RawEntry(std::string_view name, std::string_view raw)
{
    CZelXmlAttr entry{SharedName(name), CZelString()};
    entry.raw = raw.data();
    entry.rawLength = static_cast<int32_t>(raw.size());
    const CZelXmlEntities::RawForm form = CZelXmlEntities::Classify(raw);
    entry.rawEncoded = form.encoded;
    entry.rawCanonical = form.canonical;
    return entry;
}

CZelString Parser::SharedName(std::string_view name)
{
    if (name.size() > kMaxSharedNameLength)
        return CZelString(name);
    const size_t mask = kNameSlots - 1;
    for (size_t slot = CZelXmlNameIndex::Hash(name) & mask;; slot = (slot + 1) & mask) {
        CZelString& entry = m_names[slot];
        if (entry.IsEmpty()) {
            if (m_sharedNames >= kMaxSharedNames)
                return CZelString(name);
            entry = CZelString(name);
            ++m_sharedNames;
            return entry;
        }
        if (entry.View() == name)
            return entry;
    }
}

// Lines count from the start of the text: CR LF is one break, a lone CR or LF one each.
void Parser::ReportPosition(CZelXmlParseResult& result) const
{
    int line = 0;
    const char* lineStart = m_begin;
    for (const char* q = m_begin; q < m_errorAt; ++q) {
        if (*q == '\r') {
            if (q + 1 < m_errorAt && q[1] == '\n')
                ++q;
        } else if (*q != '\n') {
            continue;
        }
        ++line;
        lineStart = q + 1;
    }
    result.error = CZelString(m_error);
    result.line = line + 1;
    result.column = static_cast<int>(m_errorAt - lineStart) + 1;
}

} // namespace

bool CZelXmlParser::Parse(const CZelString& source, CZelXmlParseResult& result)
{
    std::string_view text = source.View();  // never a null pointer, which the byte searches need
    for (std::string_view bom : {std::string_view("\xEF\xBB\xBF"), std::string_view("\xFF\xFE"),
                                 std::string_view("\xFE\xFF")}) {
        if (text.starts_with(bom)) {
            text.remove_prefix(bom.size());
            break;
        }
    }
    return Parser(source, text).Run(result);
}
