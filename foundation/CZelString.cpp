#include "foundation/CZelString.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {
constexpr int32_t kMaxLength = 2147483644;
constexpr int kTerminator = 3;  // zero bytes after the data: 8-bit and 16-bit NUL-terminated
}

// A tail slice keeps the owner's terminating zeros, so every body stays NUL-terminated. A slice
// always refers to the owner itself, never to another slice, so taking tails of tails (as the
// tokenizers do word after word) keeps one body alive, not a growing chain of them, and
// freeing a slice never goes deeper than its owner.
static_assert(sizeof(CZelString) == sizeof(void*), "a string is one pointer");

void CZelString::Body::Free(Body* body) noexcept
{
    body->~Body();
    std::free(body);
}

CZelRef<CZelString::Body> CZelString::Allocate(int32_t length)
{
    if (length < 0 || length > kMaxLength)
        return {};
    void* memory = std::malloc(sizeof(Body) + static_cast<size_t>(length) + kTerminator);
    if (!memory)
        return {};
    auto* body = new (memory) Body;
    body->length = length;
    char* bytes = reinterpret_cast<char*>(body + 1);
    std::memset(bytes + length, 0, kTerminator);
    body->data = bytes;
    return CZelRef<Body>::Fresh(body);
}

CZelRef<CZelString::Body> CZelString::Slice(const CZelRef<Body>& source, int32_t start)
{
    void* memory = std::malloc(sizeof(Body));
    if (!memory)
        return {};
    auto* body = new (memory) Body;
    body->length = source->length - start;
    body->data = source->data + start;
    body->source = source->source ? source->source : source;
    return CZelRef<Body>::Fresh(body);
}

CZelString::CZelString(CZelRef<Body> body) noexcept : m_body(std::move(body)) {}

CZelString::CZelString(const char* text)
    : CZelString(text, text ? static_cast<int32_t>(std::strlen(text)) : 0)
{
}

CZelString::CZelString(const char* data, int32_t length)
{
    if (length <= 0)
        return;
    m_body = Allocate(length);
    if (!m_body)
        return;
    char* bytes = const_cast<char*>(m_body->data);
    if (data)
        std::memcpy(bytes, data, static_cast<size_t>(length));
    else
        std::memset(bytes, 0, static_cast<size_t>(length));
}

CZelString::CZelString(std::string_view bytes)
    : CZelString(bytes.data(), bytes.size() > static_cast<size_t>(kMaxLength) ? -1 : static_cast<int32_t>(bytes.size()))
{
}

// Out of line on purpose: inlining the count changes into every caller measured slower in the
// string benchmarks (bigger loops), not faster.
CZelString::CZelString(const CZelString& other) noexcept = default;
CZelString::CZelString(CZelString&& other) noexcept = default;
CZelString& CZelString::operator=(const CZelString& other) noexcept = default;
CZelString& CZelString::operator=(CZelString&& other) noexcept = default;
CZelString::~CZelString() = default;

CZelString CZelString::Uninitialized(int32_t length, char** data)
{
    CZelString result(nullptr, length);
    *data = result.m_body ? const_cast<char*>(result.m_body->data) : nullptr;
    return result;
}

int32_t CZelString::Length() const noexcept
{
    return m_body ? m_body->length : 0;
}

const char* CZelString::Ptr() const noexcept
{
    static const char empty[kTerminator] = {};
    return m_body ? m_body->data : empty;
}

char CZelString::operator[](int32_t index) const noexcept
{
    return index >= 0 && index < Length() ? m_body->data[index] : '\0';
}

bool CZelString::operator==(const CZelString& other) const noexcept
{
    return m_body == other.m_body || View() == other.View();
}

bool CZelString::operator==(const char* text) const noexcept
{
    return View() == std::string_view(text ? text : "");
}

int CZelString::Compare(const CZelString& other) const noexcept
{
    const int32_t a = Length(), b = other.Length();
    const int32_t common = a < b ? a : b;
    const auto* x = reinterpret_cast<const signed char*>(Ptr());
    const auto* y = reinterpret_cast<const signed char*>(other.Ptr());
    for (int32_t i = 0; i < common; ++i)
        if (x[i] != y[i])
            return x[i] < y[i] ? -1 : 1;
    return a == b ? 0 : (a < b ? -1 : 1);
}

int32_t CZelString::Find(char byte, int32_t start, int32_t end) const noexcept
{
    const int32_t length = Length();
    if (start < 0)
        return -1;
    if (end < 0 || end > length)
        end = length;
    if (start >= end)
        return -1;
    const void* hit = std::memchr(Ptr() + start, static_cast<unsigned char>(byte), static_cast<size_t>(end - start));
    return hit ? static_cast<int32_t>(static_cast<const char*>(hit) - Ptr()) : -1;
}

int32_t CZelString::ReverseFind(char byte) const noexcept
{
    const size_t at = View().rfind(byte);
    return at == std::string_view::npos ? -1 : static_cast<int32_t>(at);
}

int32_t CZelString::Find(const CZelString& sub, int32_t start) const noexcept
{
    if (start < 0 || start > Length())
        return -1;
    const size_t at = View().find(sub.View(), static_cast<size_t>(start));
    return at == std::string_view::npos ? -1 : static_cast<int32_t>(at);
}

CZelString CZelString::Left(int32_t n) const
{
    if (n >= Length())
        return *this;
    if (n <= 0)
        return {};
    return CZelString(Ptr(), n);
}

CZelString CZelString::Right(int32_t n) const
{
    if (n >= Length())
        return *this;
    if (n <= 0)
        return {};
    return CZelString(Slice(m_body, Length() - n));
}

CZelString CZelString::Mid(int32_t start, int32_t length) const
{
    const int32_t total = Length();
    if (start < 0)
        start = 0;
    if (start >= total)
        return {};
    if (length < 0 || length > total - start)
        length = total - start;
    if (length == 0)
        return {};
    if (start + length == total)
        return Right(length);
    return CZelString(Ptr() + start, length);
}

CZelString CZelString::operator+(const CZelString& other) const
{
    if (other.IsEmpty())
        return *this;
    if (IsEmpty())
        return other;
    const int64_t total = int64_t(Length()) + other.Length();
    if (total > kMaxLength)
        return {};
    char* bytes = nullptr;
    CZelString result = Uninitialized(static_cast<int32_t>(total), &bytes);
    if (bytes) {
        std::memcpy(bytes, Ptr(), static_cast<size_t>(Length()));
        std::memcpy(bytes + Length(), other.Ptr(), static_cast<size_t>(other.Length()));
    }
    return result;
}

CZelString CZelString::operator+(const char* text) const
{
    return *this + CZelString(text);
}

CZelString& CZelString::operator+=(const CZelString& other)
{
    return *this = *this + other;
}

CZelString& CZelString::operator+=(const char* text)
{
    return *this = *this + CZelString(text);
}

CZelString operator+(const char* text, const CZelString& string)
{
    return CZelString(text) + string;
}

int CZelString::Replace(const CZelString& from, const CZelString& to)
{
    if (from.IsEmpty() || IsEmpty())
        return 0;
    std::string out;
    const std::string_view text = View(), needle = from.View();
    int count = 0;
    size_t pos = 0;
    for (size_t hit; (hit = text.find(needle, pos)) != std::string_view::npos; pos = hit + needle.size()) {
        out.append(text.substr(pos, hit - pos));
        out.append(to.View());
        ++count;
    }
    if (count) {
        out.append(text.substr(pos));
        *this = CZelString(std::string_view(out));
    }
    return count;
}

CZelString CZelString::GetWord(std::string_view delimiters, bool skipLeading, bool remove)
{
    const std::string_view text = View();
    size_t begin = 0;
    if (skipLeading)
        while (begin < text.size() && delimiters.find(text[begin]) != std::string_view::npos)
            ++begin;
    size_t end = begin;
    while (end < text.size() && delimiters.find(text[end]) == std::string_view::npos)
        ++end;
    CZelString word = Mid(static_cast<int32_t>(begin), static_cast<int32_t>(end - begin));
    if (remove) {
        size_t rest = end;
        while (rest < text.size() && delimiters.find(text[rest]) != std::string_view::npos)
            ++rest;
        *this = Mid(static_cast<int32_t>(rest));
    }
    return word;
}

CZelString CZelString::NextArg()
{
    auto skipSpaces = [](std::string_view text) {
        size_t i = 0;
        while (i < text.size() && text[i] == ' ')
            ++i;
        return static_cast<int32_t>(i);
    };
    *this = Mid(skipSpaces(View()));
    const std::string_view text = View();
    CZelString arg;
    size_t restAt;
    if (!text.empty() && text[0] == '"') {
        const size_t close = text.find('"', 1);
        if (close == std::string_view::npos) {
            arg = Mid(1);
            restAt = text.size();
        } else {
            arg = Mid(1, static_cast<int32_t>(close - 1));
            restAt = close + 1;
        }
    } else {
        const size_t space = text.find(' ');
        if (space == std::string_view::npos) {
            arg = *this;
            restAt = text.size();
        } else {
            arg = Left(static_cast<int32_t>(space));
            restAt = space + 1;
        }
    }
    CZelString rest = Mid(static_cast<int32_t>(restAt));
    *this = rest.Mid(skipSpaces(rest.View()));
    return arg;
}
