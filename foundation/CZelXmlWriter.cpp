#include "foundation/CZelXmlWriter.h"

#include "foundation/CZelXmlEntities.h"
#include "foundation/CZelXmlNodeImpl.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxText = 2147483644;  // the longest CZelString

constexpr std::string_view kEscapes[] = {"", "&lt;", "&quot;", "&amp;", "&#13;", "&#10;", "&#0;"};
constexpr std::array<uint8_t, 256> kEscapeOf = [] {
    std::array<uint8_t, 256> table{};
    table['<'] = 1;
    table['"'] = 2;
    table['&'] = 3;
    table['\r'] = 4;
    table['\n'] = 5;
    table['\0'] = 6;
    return table;
}();

// A growing byte buffer that turns a failure to grow into a flag instead of an exception.
class Output {
public:
    explicit Output(size_t initial)
    {
        m_data = static_cast<char*>(std::malloc(initial));
        m_capacity = m_data ? initial : 0;
        m_failed = !m_data;
    }
    ~Output() { std::free(m_data); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    bool Failed() const { return m_failed; }

    void Append(const char* bytes, size_t count)
    {
        if (m_capacity - m_size < count && !Grow(count))
            return;
        std::memcpy(m_data + m_size, bytes, count);
        m_size += count;
    }
    void Append(std::string_view bytes) { Append(bytes.data(), bytes.size()); }
    void Append(char byte)
    {
        if (m_size == m_capacity && !Grow(1))
            return;
        m_data[m_size++] = byte;
    }
    void AppendEscaped(std::string_view value)
    {
        const char* run = value.data();
        const char* end = run + value.size();
        for (const char* p = run; p < end; ++p) {
            const uint8_t escape = kEscapeOf[static_cast<unsigned char>(*p)];
            if (escape) {
                Append(run, static_cast<size_t>(p - run));
                Append(kEscapes[escape]);
                run = p + 1;
            }
        }
        Append(run, static_cast<size_t>(end - run));
    }

    // Raw bytes of the read text, entities still in them: each is decoded and escaped anew,
    // as if the decoded value had been escaped.
    void AppendEscapedEncoded(std::string_view raw)
    {
        const char* run = raw.data();
        const char* end = run + raw.size();
        for (const char* p = run; p < end;) {
            const char c = *p;
            if (c != '&' && !kEscapeOf[static_cast<unsigned char>(c)]) {
                ++p;
                continue;
            }
            Append(run, static_cast<size_t>(p - run));
            char byte = c;
            size_t length = 1;
            if (c == '&') {
                const CZelXmlEntities::Entity entity = CZelXmlEntities::At(p, end);
                if (entity.length) {
                    byte = entity.byte;
                    length = entity.length;
                }
            }
            const uint8_t escape = kEscapeOf[static_cast<unsigned char>(byte)];
            if (escape)
                Append(kEscapes[escape]);
            else
                Append(byte);
            p += length;
            run = p;
        }
        Append(run, static_cast<size_t>(end - run));
    }
    void AppendValue(const CZelXmlAttr& entry)
    {
        if (!entry.raw)
            AppendEscaped(entry.value.View());
        else if (entry.rawCanonical)
            Append(entry.RawView());
        else if (entry.rawEncoded)
            AppendEscapedEncoded(entry.RawView());
        else
            AppendEscaped(entry.RawView());
    }

    // Declaration values go out as they are, except that a double quote (which only an
    // entity in the read text can have put there) is escaped so that the text reads back.
    void AppendDeclarationValue(std::string_view value)
    {
        for (size_t quote; (quote = value.find('"')) != std::string_view::npos;) {
            Append(value.substr(0, quote));
            Append(kEscapes[kEscapeOf['"']]);
            value.remove_prefix(quote + 1);
        }
        Append(value);
    }

    CZelString Take() const
    {
        if (m_failed)
            return CZelString();
        return CZelString(m_data, static_cast<int32_t>(m_size));
    }

private:
    bool Grow(size_t more)
    {
        if (m_failed || more > kMaxText - m_size) {
            m_failed = true;
            return false;
        }
        size_t capacity = m_capacity ? m_capacity : 4096;
        while (capacity - m_size < more)
            capacity = capacity > kMaxText / 2 ? kMaxText : capacity * 2;
        char* grown = static_cast<char*>(std::realloc(m_data, capacity));
        if (!grown) {
            m_failed = true;
            return false;
        }
        m_data = grown;
        m_capacity = capacity;
        return true;
    }

    char* m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
    bool m_failed = false;
};

class Writer {
public:
    Writer(Output& out, const CZelXmlFormat& format) : m_out(out), m_format(format) {}

    void Declaration(const CZelXmlNodeImpl& node, std::string_view indent);
    void Tree(const CZelXmlNodeImpl& node);

private:
    bool OpenElement(const CZelXmlNodeImpl& node, std::string_view indent);
    void CloseElement(const CZelXmlNodeImpl& node, std::string_view indent);

    Output& m_out;
    const CZelXmlFormat& m_format;
};

void Writer::Declaration(const CZelXmlNodeImpl& node, std::string_view indent)
{
    m_out.Append(indent);
    m_out.Append("<?");
    m_out.Append(node.name.IsEmpty() ? std::string_view("xml") : node.name.View());
    for (const CZelXmlAttr& attr : node.attrs.Items()) {
        m_out.Append(' ');
        m_out.Append(attr.name.View());
        m_out.Append("=\"");
        m_out.AppendDeclarationValue(attr.Value().View());
        m_out.Append('"');
    }
    m_out.Append("?>");
}

// The start tag and the text values; false when the element was complete as an empty tag.
bool Writer::OpenElement(const CZelXmlNodeImpl& node, std::string_view indent)
{
    m_out.Append(indent);
    m_out.Append('<');
    m_out.Append(node.name.View());
    for (const CZelXmlAttr& attr : node.attrs.Items()) {
        m_out.Append(' ');
        m_out.Append(attr.name.View());
        m_out.Append("=\"");
        m_out.AppendValue(attr);
        m_out.Append('"');
    }
    const bool hasAttrs = !node.attrs.Empty();
    if (node.texts.Empty() && !node.firstChild) {
        m_out.Append(hasAttrs ? std::string_view(" />") : std::string_view("/>"));
        return false;
    }
    m_out.Append(hasAttrs ? std::string_view(" >") : std::string_view(">"));
    m_out.Append(m_format.newline);
    for (const CZelXmlAttr& text : node.texts.Items()) {
        m_out.Append(indent);
        m_out.Append(m_format.step);
        m_out.Append('<');
        m_out.Append(text.name.View());
        if (text.ValueEmpty()) {
            m_out.Append("/>");
        } else {
            m_out.Append('>');
            m_out.AppendValue(text);
            m_out.Append("</");
            m_out.Append(text.name.View());
            m_out.Append('>');
        }
        m_out.Append(m_format.newline);
    }
    return true;
}

void Writer::CloseElement(const CZelXmlNodeImpl& node, std::string_view indent)
{
    m_out.Append(indent);
    m_out.Append("</");
    m_out.Append(node.name.View());
    m_out.Append('>');
}

// A node and its descendants at the base indent. The stack holds, per open element, the next
// child to write; the indent of depth d is the base indent plus d steps.
void Writer::Tree(const CZelXmlNodeImpl& root)
{
    std::string indent(m_format.indent);
    if (root.kind == CZelXmlNode::kDeclaration) {
        Declaration(root, indent);
        return;
    }
    if (!OpenElement(root, indent))
        return;
    struct Frame {
        const CZelXmlNodeImpl* node;
        const CZelXmlNodeImpl* nextChild;
    };
    std::vector<Frame> open{{&root, root.firstChild}};
    while (!open.empty() && !m_out.Failed()) {
        Frame& frame = open.back();
        if (!frame.nextChild) {
            const CZelXmlNodeImpl* node = frame.node;
            open.pop_back();
            CloseElement(*node, indent);
            if (!open.empty()) {
                indent.resize(indent.size() - m_format.step.size());
                m_out.Append(m_format.newline);
            }
            continue;
        }
        const CZelXmlNodeImpl* child = frame.nextChild;
        frame.nextChild = child->next;
        indent.append(m_format.step);
        if (child->kind == CZelXmlNode::kDeclaration) {
            Declaration(*child, indent);
        } else if (OpenElement(*child, indent)) {
            open.push_back({child, child->firstChild});
            continue;
        }
        indent.resize(indent.size() - m_format.step.size());
        m_out.Append(m_format.newline);
    }
}

size_t InitialSize(int32_t requested)
{
    return requested < 0 ? static_cast<size_t>(CZelXmlWriter::kDefaultInitialSize)
                         : static_cast<size_t>(requested) + 1;
}

} // namespace

CZelString CZelXmlWriter::WriteDocument(const CZelString& docType, const CZelXmlNode& documentNode,
                                        int32_t initialSize, const CZelXmlFormat& format)
{
    try {
        Output out(InitialSize(initialSize));
        Writer writer(out, format);
        const CZelXmlNodeImpl* node = documentNode.Impl() ? documentNode.Impl()->firstChild : nullptr;
        if (node && node->kind == CZelXmlNode::kDeclaration) {
            writer.Declaration(*node, format.indent);
            node = node->next;
        } else {
            out.Append("<?xml?>");
        }
        out.Append(format.newline);
        out.Append("<!DOCTYPE ");
        out.Append(docType.View());
        out.Append('>');
        out.Append(format.newline);
        for (; node && !out.Failed(); node = node->next) {
            writer.Tree(*node);
            out.Append(format.newline);
        }
        return out.Take();
    } catch (const std::bad_alloc&) {
        return CZelString();
    }
}

CZelString CZelXmlWriter::WriteNode(const CZelXmlNode& node, const CZelXmlFormat& format)
{
    if (node.IsNull())
        return CZelString();
    try {
        Output out(4096);
        Writer(out, format).Tree(*node.Impl());
        return out.Take();
    } catch (const std::bad_alloc&) {
        return CZelString();
    }
}
