#include "foundation/CZelFormat.h"

#include "foundation/CZelCodePage.h"
#include "foundation/CZelPtr.h"
#include "foundation/ZelMemoryAccessLog.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

// Widths and precisions beyond this are cut down, so a stray '*' argument cannot ask for
// gigabytes of padding.
constexpr int kMaxWidth = 655360;
constexpr int kMaxPieces = 99;
constexpr const char* kNullText = "(null)";

// ---- FormatArg readings ------------------------------------------------------------------

int64_t SaturatingInt64(double value) noexcept
{
    if (std::isnan(value))
        return 0;
    if (value >= 9223372036854775807.0)
        return std::numeric_limits<int64_t>::max();
    if (value <= -9223372036854775808.0)
        return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

} // namespace

int64_t FormatArg::AsInt64() const noexcept
{
    switch (m_kind) {
    case Kind::Int:
        return static_cast<int64_t>(m_value.integer);
    case Kind::Double:
        return SaturatingInt64(m_value.real);
    case Kind::None:
    case Kind::Bytes:
        return 0;
    default:
        return static_cast<int64_t>(reinterpret_cast<uintptr_t>(AsPointer()));
    }
}

uint64_t FormatArg::AsUnsigned() const noexcept
{
    if (m_kind != Kind::Int)
        return static_cast<uint64_t>(AsInt64());
    if (m_bytes >= 8)
        return m_value.integer;
    return m_value.integer & ((uint64_t{1} << (8 * m_bytes)) - 1);
}

int64_t FormatArg::AsSigned() const noexcept
{
    if (m_kind != Kind::Int || m_bytes >= 8)
        return AsInt64();
    const int shift = 64 - 8 * m_bytes;
    return static_cast<int64_t>(m_value.integer << shift) >> shift;
}

double FormatArg::AsDouble() const noexcept
{
    if (m_kind == Kind::Double)
        return m_value.real;
    if (m_kind == Kind::Int)
        return m_signed ? static_cast<double>(static_cast<int64_t>(m_value.integer))
                        : static_cast<double>(m_value.integer);
    return 0.0;
}

const void* FormatArg::AsPointer() const noexcept
{
    switch (m_kind) {
    case Kind::Text: return m_value.text;
    case Kind::String: return m_value.string;
    case Kind::WideText: return m_value.wide;
    case Kind::Pointer: return const_cast<const void*>(m_value.pointer);
    case Kind::IntOut: return m_value.out;
    case Kind::Bytes: return m_value.bytes.data;
    case Kind::Int: return reinterpret_cast<const void*>(static_cast<uintptr_t>(m_value.integer));
    default: return nullptr;
    }
}

const char* FormatArg::AsText() const noexcept
{
    switch (m_kind) {
    case Kind::Text: return m_value.text;
    case Kind::String: return m_value.string ? m_value.string->Ptr() : nullptr;
    case Kind::Bytes: return m_value.bytes.data ? m_value.bytes.data : "";
    default: return nullptr;
    }
}

const CZelString* FormatArg::AsString() const noexcept
{
    return m_kind == Kind::String ? m_value.string : nullptr;
}

std::string_view FormatArg::AsBytes() const noexcept
{
    switch (m_kind) {
    case Kind::String:
        return m_value.string ? m_value.string->View() : std::string_view();
    case Kind::Bytes:
        return m_value.bytes.data ? std::string_view(m_value.bytes.data, m_value.bytes.length)
                                  : std::string_view("", 0);
    case Kind::Text:
        return m_value.text ? std::string_view(m_value.text) : std::string_view();
    default:
        return {};
    }
}

const char16_t* FormatArg::AsWideText() const noexcept
{
    return m_kind == Kind::WideText ? m_value.wide : nullptr;
}

int* FormatArg::AsIntOut() const noexcept
{
    return m_kind == Kind::IntOut ? m_value.out : nullptr;
}

namespace {

// ---- One conversion ----------------------------------------------------------------------

struct ConversionSpec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    bool hasWidth = false;
    int width = 0;
    bool hasPrecision = false;
    int precision = 0;
    int longCount = 0;   // 'l'
    int shortCount = 0;  // 'h'
    bool longDouble = false;  // 'L'
    bool thousands = false;
    char letter = 0;
};

using Buffer = CZelPtr<char>;

void Put(Buffer& out, std::string_view bytes)
{
    out.Append(bytes.data(), static_cast<int32_t>(bytes.size()));
}

class ArgumentCursor {
public:
    ArgumentCursor(const FormatArg* args, size_t count) : m_args(args), m_count(count) {}
    const FormatArg& Next() noexcept { return m_next < m_count ? m_args[m_next++] : m_missing; }

private:
    const FormatArg* m_args;
    size_t m_count;
    size_t m_next = 0;
    FormatArg m_missing;
};

int ClampWidth(int64_t value)
{
    return value > kMaxWidth ? kMaxWidth : static_cast<int>(value);
}

// Reads digits or '*' for a width or precision; returns false when there was neither.
bool ReadCount(const char*& p, ArgumentCursor& args, int64_t& value)
{
    if (*p == '*') {
        ++p;
        value = args.Next().AsInt64();
        return true;
    }
    if (*p < '0' || *p > '9')
        return false;
    value = 0;
    while (*p >= '0' && *p <= '9') {
        if (value <= kMaxWidth)
            value = value * 10 + (*p - '0');
        ++p;
    }
    return true;
}

// Parses what follows a '%'; returns the position after the conversion letter (the letter
// is 0 when the text ended first).
const char* ParseSpec(const char* p, ArgumentCursor& args, ConversionSpec& spec)
{
    for (;; ++p) {
        if (*p == '-') spec.left = true;
        else if (*p == '+') spec.plus = true;
        else if (*p == ' ') spec.space = true;
        else if (*p == '#') spec.alternate = true;
        else if (*p == '0') spec.zero = true;
        else break;
    }
    int64_t count = 0;
    if (ReadCount(p, args, count)) {
        spec.hasWidth = true;
        if (count < 0) {
            spec.left = true;
            count = count == std::numeric_limits<int64_t>::min() ? kMaxWidth : -count;
        }
        spec.width = ClampWidth(count);
    }
    if (*p == '.') {
        ++p;
        count = 0;
        ReadCount(p, args, count);
        spec.hasPrecision = count >= 0;  // a negative '*' precision counts as none, as in printf
        spec.precision = spec.hasPrecision ? ClampWidth(count) : 0;
    }
    for (;; ++p) {
        if (*p == 'l') ++spec.longCount;
        else if (*p == 'h') ++spec.shortCount;
        else if (*p == 'L' || *p == 'q') spec.longDouble = true;
        else if (*p == 'F' || *p == 'N' || *p == 'j' || *p == 'z' || *p == 't') {}
        else break;
    }
    if (*p == ',') {
        spec.thousands = true;
        ++p;
    }
    spec.letter = *p;
    return *p ? p + 1 : p;
}

void Pad(Buffer& out, int count, char fill = ' ')
{
    if (count > 0)
        out.AppendRepeated(fill, count);
}

void PutPadded(Buffer& out, const ConversionSpec& spec, std::string_view body)
{
    const int gap = spec.width - static_cast<int>(body.size() > static_cast<size_t>(kMaxWidth) ? kMaxWidth : body.size());
    if (!spec.left)
        Pad(out, gap);
    Put(out, body);
    if (spec.left)
        Pad(out, gap);
}

// The printf family's own output for one conversion of `letter` with the conversion's flags,
// width and precision and the given C length modifier.
char* PutCount(char* at, int value)
{
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (n > 0)
        *at++ = digits[--n];
    return at;
}

// The printf family's own output for one conversion of `letter` with the conversion's flags,
// width and precision and the given C length modifier.
template<class T>
void PutPrintf(Buffer& out, const ConversionSpec& spec, const char* lengthModifier, char letter, T value)
{
    char conversion[40];
    char* at = conversion;
    *at++ = '%';
    if (spec.left) *at++ = '-';
    if (spec.plus) *at++ = '+';
    if (spec.space) *at++ = ' ';
    if (spec.alternate) *at++ = '#';
    if (spec.zero) *at++ = '0';
    if (spec.hasWidth) at = PutCount(at, spec.width);
    if (spec.hasPrecision) {
        *at++ = '.';
        at = PutCount(at, spec.precision);
    }
    while (*lengthModifier)
        *at++ = *lengthModifier++;
    *at++ = letter;
    *at = '\0';

    char local[128];
    const int length = std::snprintf(local, sizeof local, conversion, value);
    if (length < 0)
        return;
    if (static_cast<size_t>(length) < sizeof local) {
        out.Append(local, length);
        return;
    }
    std::string large(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(large.data(), large.size(), conversion, value);
    out.Append(large.data(), length);
}

void PutDecimal64(Buffer& out, const ConversionSpec& spec, int64_t value)
{
    const bool negative = value < 0;
    uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char digits[32];
    int n = 0;
    int inGroup = 0;
    do {
        if (spec.thousands && inGroup == 3) {
            digits[n++] = ',';
            inGroup = 0;
        }
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
        ++inGroup;
    } while (magnitude);
    const char sign = negative ? '-' : (spec.plus && value > 0 ? '+' : 0);
    const int length = n + (sign ? 1 : 0);
    const int gap = spec.width - length;

    if (!spec.left && !spec.zero)
        Pad(out, gap);
    if (sign)
        out.Append(sign);
    if (!spec.left && spec.zero)
        Pad(out, gap, '0');
    while (n > 0)
        out.Append(digits[--n]);
    if (spec.left)
        Pad(out, gap);
}

std::string_view IpBody(uint32_t address, char (&buffer)[16])
{
    const int n = std::snprintf(buffer, sizeof buffer, "%d.%d.%d.%d", static_cast<int>(address >> 24),
                                static_cast<int>((address >> 16) & 0xFF), static_cast<int>((address >> 8) & 0xFF),
                                static_cast<int>(address & 0xFF));
    return {buffer, static_cast<size_t>(n)};
}

// %S: a precision keeps the first bytes, or the last ones when right-justified to a width.
void PutString(Buffer& out, const ConversionSpec& spec, std::string_view bytes)
{
    if (spec.hasPrecision && static_cast<size_t>(spec.precision) < bytes.size()) {
        const size_t keep = static_cast<size_t>(spec.precision);
        bytes = (spec.hasWidth && !spec.left) ? bytes.substr(bytes.size() - keep) : bytes.substr(0, keep);
    }
    PutPadded(out, spec, bytes);
}

CZelString WideArgumentAsAnsi(const FormatArg& arg, bool& isNull)
{
    isNull = false;
    if (const char16_t* wide = arg.AsWideText())
        return FromWide(WideFromChar16(wide), kCodePageAnsi);
    if (arg.GetKind() == FormatArg::Kind::String || arg.GetKind() == FormatArg::Kind::Bytes) {
        const std::string_view bytes = arg.AsBytes();
        if (bytes.data())
            return FromWide(bytes, kCodePageAnsi);
    }
    isNull = true;
    return {};
}

void PutText(Buffer& out, const ConversionSpec& spec, const FormatArg& arg)
{
    std::string_view text;
    CZelString converted;
    if (spec.longCount > 0) {
        bool isNull = false;
        converted = WideArgumentAsAnsi(arg, isNull);
        text = isNull ? std::string_view(kNullText) : converted.View();
    } else if (arg.GetKind() == FormatArg::Kind::Text && arg.AsText()) {
        // A precision bounds the read as well as the output, as in printf.
        const char* raw = arg.AsText();
        text = std::string_view(raw, spec.hasPrecision ? strnlen(raw, static_cast<size_t>(spec.precision))
                                                       : std::strlen(raw));
    } else {
        const std::string_view bytes = arg.AsBytes();
        text = bytes.data() ? bytes : std::string_view(kNullText);
    }
    text = text.substr(0, std::min(text.find('\0'), text.size()));
    if (spec.hasPrecision && static_cast<size_t>(spec.precision) < text.size())
        text = text.substr(0, static_cast<size_t>(spec.precision));
    PutPadded(out, spec, text);
}

void PutCharacter(Buffer& out, const ConversionSpec& spec, const FormatArg& arg)
{
    const int64_t code = arg.AsInt64();
    if (spec.longCount > 0) {
        const char16_t unit = static_cast<char16_t>(code);
        const CZelString utf8 = FromWide(std::string_view(reinterpret_cast<const char*>(&unit), 2), kCodePageAnsi);
        PutPadded(out, spec, utf8.View());
        return;
    }
    const char byte = static_cast<char>(code);
    PutPadded(out, spec, std::string_view(&byte, 1));
}

bool IsIntegerLetter(char letter)
{
    return letter == 'd' || letter == 'i' || letter == 'u' || letter == 'x' || letter == 'X' || letter == 'o';
}

bool IsFloatLetter(char letter)
{
    return letter == 'e' || letter == 'E' || letter == 'f' || letter == 'g' || letter == 'G' || letter == 'a' ||
           letter == 'A';
}

// %d %i %u %o %x %X written here by the C rules (flags, width, precision), without the
// fixed cost of an snprintf call per conversion.
void PutIntegerDigits(Buffer& out, const ConversionSpec& spec, bool negative, uint64_t magnitude)
{
    const char letter = spec.letter;
    const unsigned base = letter == 'o' ? 8 : (letter == 'x' || letter == 'X') ? 16 : 10;
    const char* digitSet = letter == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";

    char digits[24];
    int n = 0;
    for (uint64_t rest = magnitude; rest; rest /= base)
        digits[n++] = digitSet[rest % base];
    if (!spec.hasPrecision && magnitude == 0)
        digits[n++] = '0';

    int zeros = spec.hasPrecision && spec.precision > n ? spec.precision - n : 0;
    if (spec.alternate && letter == 'o' && zeros == 0 && (n == 0 || digits[n - 1] != '0'))
        zeros = 1;  // '#' makes the first octal digit a zero

    char prefix[2];
    int prefixLength = 0;
    const bool isSigned = letter == 'd' || letter == 'i';
    if (isSigned && negative) prefix[prefixLength++] = '-';
    else if (isSigned && spec.plus) prefix[prefixLength++] = '+';
    else if (isSigned && spec.space) prefix[prefixLength++] = ' ';
    if (spec.alternate && base == 16 && magnitude != 0) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = letter;
    }

    const int length = prefixLength + zeros + n;
    const int gap = spec.width > length ? spec.width - length : 0;
    const bool zeroFill = spec.zero && !spec.left && !spec.hasPrecision;
    if (!spec.left && !zeroFill)
        Pad(out, gap);
    out.Append(prefix, prefixLength);
    Pad(out, zeros + (zeroFill ? gap : 0), '0');
    while (n > 0)
        out.Append(digits[--n]);
    if (spec.left)
        Pad(out, gap);
}

void PutInteger(Buffer& out, const ConversionSpec& spec, const FormatArg& arg)
{
    if (spec.letter == 'd' || spec.letter == 'i') {
        int64_t value = arg.AsSigned();
        if (spec.shortCount == 1)
            value = static_cast<int16_t>(value);
        else if (spec.shortCount >= 2)
            value = static_cast<int8_t>(value);
        const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        PutIntegerDigits(out, spec, value < 0, magnitude);
        return;
    }
    uint64_t value = arg.AsUnsigned();
    if (spec.shortCount == 1)
        value = static_cast<uint16_t>(value);
    else if (spec.shortCount >= 2)
        value = static_cast<uint8_t>(value);
    PutIntegerDigits(out, spec, false, value);
}

void PutFloat(Buffer& out, const ConversionSpec& spec, const FormatArg& arg)
{
    double value = arg.AsDouble();
    if (spec.longCount == 0 && !spec.longDouble)
        value = static_cast<double>(static_cast<float>(value));  // the formatter's single-precision rule
    PutPrintf(out, spec, "", spec.letter, value);
}

// Formats one conversion (not "%%") into `out`; `written` is the output length so far for %n.
// Returns false for an unknown conversion letter, which is then copied as written.
bool PutConversion(Buffer& out, const ConversionSpec& spec, ArgumentCursor& args, int32_t written)
{
    const char letter = spec.letter;
    if (letter == 'S') {
        const FormatArg& arg = args.Next();
        if (spec.longCount > 0) {
            bool isNull = false;
            const CZelString converted = WideArgumentAsAnsi(arg, isNull);
            PutString(out, spec, isNull ? std::string_view(kNullText) : converted.View());
            return true;
        }
        const std::string_view bytes = arg.AsBytes();
        PutString(out, spec, bytes.data() ? bytes : std::string_view(kNullText));
    } else if (letter == 's') {
        PutText(out, spec, args.Next());
    } else if (letter == 'D') {
        PutDecimal64(out, spec, args.Next().AsInt64());
    } else if (letter == 'I') {
        char buffer[16];
        PutPadded(out, spec, IpBody(static_cast<uint32_t>(args.Next().AsUnsigned()), buffer));
    } else if (letter == 'c') {
        PutCharacter(out, spec, args.Next());
    } else if (IsIntegerLetter(letter)) {
        PutInteger(out, spec, args.Next());
    } else if (IsFloatLetter(letter)) {
        PutFloat(out, spec, args.Next());
    } else if (letter == 'p') {
        PutPrintf(out, spec, "", 'p', args.Next().AsPointer());
    } else if (letter == 'n') {
        if (int* target = args.Next().AsIntOut())
            *target = written;
    } else {
        return false;
    }
    return true;
}

// Formats the conversion starting at `percent` (which points at '%') and returns where the
// text continues.
const char* FormatOne(const char* percent, Buffer& out, ArgumentCursor& args)
{
    ConversionSpec spec;
    const char* end = ParseSpec(percent + 1, args, spec);
    if (spec.letter == '%') {
        out.Append('%');
        return end;
    }
    if (!PutConversion(out, spec, args, out.Length()))
        Put(out, std::string_view(percent, static_cast<size_t>(end - percent)));
    return end;
}

CZelString ToString(const Buffer& buffer)
{
    if (buffer.Failed() || buffer.Length() == 0)
        return {};
    return CZelString(buffer.Data(), buffer.Length());
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The public entry points know no caller's source position.
void LogUnreadableFormat()
{
    WriteMemoryAccessLog(kBadStringPtrCheck, nullptr, -1, "unknown", -1);
}

} // namespace

CZelString FormatArgs(const char* format, const FormatArg* args, size_t count)
{
    if (!format) {
        LogUnreadableFormat();
        return {};
    }
    Buffer out;
    out.Reserve(static_cast<int32_t>(std::min<size_t>(std::strlen(format) + 64, 4096)));
    ArgumentCursor cursor(args, count);
    const char* p = format;
    while (*p) {
        const char* percent = std::strchr(p, '%');
        if (!percent) {
            Put(out, p);
            break;
        }
        out.Append(p, static_cast<int32_t>(percent - p));
        p = FormatOne(percent, out, cursor);
    }
    return ToString(out);
}

CZelString FormatTrArgs(const char* argFormat, const CZelString& templ, const FormatArg* args, size_t count)
{
    if (!argFormat)
        LogUnreadableFormat();
    std::vector<CZelString> pieces;
    ArgumentCursor cursor(args, count);
    for (const char* p = argFormat ? argFormat : ""; (p = std::strchr(p, '%'));) {
        ConversionSpec spec;
        const char* end = ParseSpec(p + 1, cursor, spec);
        if (spec.letter != '%') {
            Buffer piece;
            if (!PutConversion(piece, spec, cursor, 0))
                Put(piece, std::string_view(p, static_cast<size_t>(end - p)));
            if (pieces.size() < kMaxPieces)
                pieces.push_back(ToString(piece));
        }
        p = end;
    }

    Buffer out;
    const std::string_view text = templ.View();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.Append(text[i]);
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '%') {
            out.Append('%');
            ++i;
        } else if (i + 1 < text.size() && IsDigit(text[i + 1])) {
            size_t number = static_cast<size_t>(text[i + 1] - '0');
            ++i;
            if (i + 1 < text.size() && IsDigit(text[i + 1])) {
                number = number * 10 + static_cast<size_t>(text[i + 1] - '0');
                ++i;
            }
            if (number >= 1 && number <= pieces.size())
                Put(out, pieces[number - 1].View());
        } else {
            out.Append('%');
        }
    }
    return ToString(out);
}
