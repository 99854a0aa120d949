#include "pop3/CHeaderRewrite.h"

#include "foundation/CZelFormat.h"
#include "foundation/ZelBase64.h"
#include "protocol/ZelInboxTexts.h"
#include "protocol/ZelMessageId.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace {

constexpr unsigned char kFirstAddressByte = 0x21;
constexpr unsigned char kLastAddressByte = 0x7F;
constexpr uint32_t kReplacementCharacter = 0xFFFD;

void AppendUtf8(uint32_t code, std::string& out)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Whether the line starts with the field name (given in lower case, with its colon).
bool StartsField(std::string_view line, std::string_view field)
{
    if (line.size() < field.size())
        return false;
    for (size_t i = 0; i < field.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) != field[i])
            return false;
    return true;
}

bool IsContinuation(std::string_view line)
{
    return !line.empty() && (line.front() == ' ' || line.front() == '\t');
}

// A header line with its line end; the line end is LF with or without CR before it.
bool IsEmptyLine(std::string_view line)
{
    return line == "\r\n" || line == "\n";
}

// The header's lines (each with its line end, the last possibly without one) and where the
// rest - the empty line and the body - starts.
std::vector<std::string_view> HeaderLines(std::string_view text, size_t& rest)
{
    std::vector<std::string_view> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        const size_t next = end == std::string_view::npos ? text.size() : end + 1;
        const std::string_view line = text.substr(at, next - at);
        if (IsEmptyLine(line))
            break;
        lines.push_back(line);
        at = next;
    }
    rest = at;
    return lines;
}

} // namespace

bool IsUsableSenderEmail(std::string_view email)
{
    if (email.empty())
        return false;
    for (const char c : email) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < kFirstAddressByte || byte > kLastAddressByte ||
            std::string_view(kInboxEmailForbidden).find(c) != std::string_view::npos)
            return false;
    }
    return true;
}

std::string Utf16LeToUtf8(std::string_view wide)
{
    std::string out;
    const size_t units = wide.size() / 2;
    auto unitAt = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(wide[2 * i])) |
               static_cast<uint32_t>(static_cast<unsigned char>(wide[2 * i + 1])) << 8;
    };
    for (size_t i = 0; i < units; ++i) {
        const uint32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units && unitAt(i + 1) >= 0xDC00 && unitAt(i + 1) < 0xE000) {
            AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (unitAt(i + 1) - 0xDC00), out);
            ++i;
        } else if (unit >= 0xD800 && unit < 0xE000) {
            AppendUtf8(kReplacementCharacter, out);
        } else {
            AppendUtf8(unit, out);
        }
    }
    return out;
}

namespace {

bool IsPrintableAscii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// The name between double quotes, its quotes and backslashes escaped.
std::string QuotedString(std::string_view name)
{
    std::string out = kInboxQuote;
    for (const char c : name) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

} // namespace

CZelString SenderText(const CZelString& email, const CZelString& unicodeName)
{
    if (!IsUsableSenderEmail(email.View()))
        return CZelString();
    const std::string name = Utf16LeToUtf8(unicodeName.View());
    if (name.empty())
        return email;
    if (IsPrintableAscii(name))
        return CZelString(std::string_view(QuotedString(name))) + kInboxQuotedAddressStart + email + kInboxAddressEnd;
    return CZelString(kInboxEncodedWordStart) + Base64Encode(std::string_view(name)) + kInboxEncodedWordEnd + email +
           kInboxAddressEnd;
}

namespace {

// The new header for `sender` (not empty); `rest` is where the text after the old header starts.
std::string RewrittenHeader(std::string_view text, const CZelString& sender, const CZelString& messageId, size_t& rest)
{
    rest = 0;
    const std::vector<std::string_view> lines = HeaderLines(text, rest);
    const std::string fromLine = Format(kInboxFromLine, sender).ToStd();
    const bool withId = IsSafeMessageId(messageId);

    std::string out;
    out.reserve(rest + fromLine.size() + 128);
    bool fromWritten = false;
    bool skipping = false;   // inside a field that is dropped or replaced
    for (const std::string_view line : lines) {
        if (skipping && IsContinuation(line))
            continue;
        skipping = false;
        if (StartsField(line, kInboxFromField)) {
            if (!fromWritten)
                out += fromLine;
            fromWritten = true;
            skipping = true;
            continue;
        }
        if (withId && StartsField(line, kInboxMessageIdField)) {
            skipping = true;
            continue;
        }
        out += line;
    }
    // A header whose last line lacks its line end (a text without an empty line) gets one
    // before the fields added below it.
    if (!out.empty() && out.back() != '\n')
        out += kInboxHeaderLineEnd;
    if (!fromWritten)
        out += fromLine;
    if (withId)
        out += Format(kInboxMessageIdLine, messageId).ToStd();
    return out;
}

} // namespace

std::string RewriteHeader(std::string_view text, const CZelString& email, const CZelString& unicodeName,
                          const CZelString& messageId)
{
    const CZelString sender = SenderText(email, unicodeName);
    if (sender.IsEmpty())
        return std::string(text);
    size_t rest = 0;
    std::string out = RewrittenHeader(text, sender, messageId, rest);
    out += text.substr(rest);
    return out;
}

void RewriteHeaderInPlace(std::string& text, const CZelString& email, const CZelString& unicodeName,
                          const CZelString& messageId)
{
    const CZelString sender = SenderText(email, unicodeName);
    if (sender.IsEmpty())
        return;
    size_t rest = 0;
    const std::string header = RewrittenHeader(text, sender, messageId, rest);
    text.replace(0, rest, header);
}
