#include "foundation/CZelCodePage.h"

#include <cerrno>
#include <iconv.h>
#include <memory>
#include <string>

namespace {

constexpr char16_t kReplacementUnit = 0xFFFD;
constexpr char16_t kUnderscore = u'_';
// Wide results are CZelStrings too, so their byte count must fit one.
constexpr size_t kMaxInputForWide = (static_cast<size_t>(INT32_MAX) - 8) / 4;

// windows-1251 from 0x80 to 0xBF as the platform's conversion knows it (0x98 is unassigned).
constexpr char16_t kWin1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 0x88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 0x98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // 0xA0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // 0xA8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // 0xB0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // 0xB8
};

// Output buffers sized for the worst case up front, filled by index and copied once into
// the result.
class WideWriter {
public:
    explicit WideWriter(size_t maxUnits) : m_bytes(std::make_unique_for_overwrite<char[]>(2 * maxUnits + 2)) {}
    void Put(char16_t unit) noexcept
    {
        m_bytes[m_used++] = static_cast<char>(unit & 0xFF);
        m_bytes[m_used++] = static_cast<char>(unit >> 8);
    }
    bool EndsWithZero() const noexcept { return m_used >= 2 && m_bytes[m_used - 1] == 0 && m_bytes[m_used - 2] == 0; }
    CZelString Take() const { return CZelString(m_bytes.get(), static_cast<int32_t>(m_used)); }

private:
    std::unique_ptr<char[]> m_bytes;
    size_t m_used = 0;
};

class ByteWriter {
public:
    explicit ByteWriter(size_t maxBytes) : m_bytes(std::make_unique_for_overwrite<char[]>(maxBytes + 1)) {}
    void Put(char byte) noexcept { m_bytes[m_used++] = byte; }
    CZelString Take() const { return CZelString(m_bytes.get(), static_cast<int32_t>(m_used)); }

private:
    std::unique_ptr<char[]> m_bytes;
    size_t m_used = 0;
};

char16_t UnitAt(std::string_view wide, size_t index)
{
    return static_cast<char16_t>(static_cast<unsigned char>(wide[2 * index]) |
                                 (static_cast<unsigned char>(wide[2 * index + 1]) << 8));
}

bool IsContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence of two to four bytes starting at `at`, or 0.
// Overlong forms and code points above U+10FFFF are refused; encoded surrogate halves are
// accepted, because the wide-to-UTF-8 conversion writes them that way.
size_t MultiByteSequenceLength(std::string_view text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const size_t left = text.size() - at;
    const unsigned char lead = byte(0);
    if (lead >= 0xC2 && lead <= 0xDF)
        return left >= 2 && IsContinuation(byte(1)) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (left < 3 || !IsContinuation(byte(1)) || !IsContinuation(byte(2)))
            return 0;
        return lead == 0xE0 && byte(1) < 0xA0 ? 0 : 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (left < 4 || !IsContinuation(byte(1)) || !IsContinuation(byte(2)) || !IsContinuation(byte(3)))
            return 0;
        if ((lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) > 0x8F))
            return 0;
        return 4;
    }
    return 0;
}

uint32_t DecodeSequence(std::string_view text, size_t at, size_t length)
{
    const auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(text[at + i])); };
    if (length == 2)
        return ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
    if (length == 3)
        return ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    return ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
}

void AppendUtf8(ByteWriter& out, uint32_t code)
{
    if (code < 0x80) {
        out.Put(static_cast<char>(code));
    } else if (code < 0x800) {
        out.Put(static_cast<char>(0xC0 | (code >> 6)));
        out.Put(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.Put(static_cast<char>(0xE0 | (code >> 12)));
        out.Put(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.Put(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.Put(static_cast<char>(0xF0 | (code >> 18)));
        out.Put(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.Put(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.Put(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

CZelString Win1251ToWide(std::string_view text)
{
    WideWriter out(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80)
            out.Put(byte);
        else if (byte >= 0xC0)
            out.Put(static_cast<char16_t>(0x0410 + (byte - 0xC0)));
        else if (byte == 0xA8)
            out.Put(0x0401);
        else if (byte == 0xB8)
            out.Put(0x0451);
        else
            out.Put(kUnderscore);
    }
    return out.Take();
}

// The platform's UTF-8 reading (the ANSI code page here): characters beyond U+FFFF become
// surrogate pairs, bytes that start no well-formed sequence become U+FFFD.
CZelString PlatformUtf8ToWide(std::string_view text)
{
    WideWriter out(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            out.Put(byte);
            ++i;
            continue;
        }
        const size_t length = MultiByteSequenceLength(text, i);
        if (length == 0) {
            out.Put(kReplacementUnit);
            ++i;
            continue;
        }
        const uint32_t code = DecodeSequence(text, i, length);
        if (code >= 0x10000) {
            out.Put(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            out.Put(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            out.Put(static_cast<char16_t>(code));
        }
        i += length;
    }
    return out.Take();
}

CZelString WideToPlatformUtf8(std::string_view wide)
{
    const size_t units = wide.size() / 2;
    ByteWriter out(units * 3);
    for (size_t i = 0; i < units; ++i) {
        const char16_t unit = UnitAt(wide, i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            const char16_t low = UnitAt(wide, i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((static_cast<uint32_t>(unit - 0xD800) << 10) | (low - 0xDC00)));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, (unit >= 0xD800 && unit <= 0xDFFF) ? kReplacementUnit : unit);
    }
    return out.Take();
}

CZelString WideToWin1251(std::string_view wide)
{
    const size_t units = wide.size() / 2;
    std::string out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        const char16_t unit = UnitAt(wide, i);
        char byte = '?';
        if (unit < 0x80) {
            byte = static_cast<char>(unit);
        } else if (unit >= 0x0410 && unit <= 0x044F) {
            byte = static_cast<char>(0xC0 + (unit - 0x0410));
        } else {
            for (int j = 0; j < 64; ++j) {
                if (kWin1251High[j] == unit) {
                    byte = static_cast<char>(0x80 + j);
                    break;
                }
            }
        }
        out.push_back(byte);
    }
    return CZelString(std::string_view(out));
}

// Other code pages go through iconv; false when iconv does not know the code page.
class IconvConverter {
public:
    IconvConverter(const char* to, const char* from) : m_handle(iconv_open(to, from)) {}
    ~IconvConverter()
    {
        if (Valid())
            iconv_close(m_handle);
    }
    IconvConverter(const IconvConverter&) = delete;
    IconvConverter& operator=(const IconvConverter&) = delete;
    bool Valid() const { return m_handle != reinterpret_cast<iconv_t>(-1); }

    // Converts all of `input`; a unit that cannot be converted is replaced by `replacement`
    // and skipped (`step` input bytes).
    std::string Convert(std::string_view input, std::string_view replacement, size_t step)
    {
        std::string out;
        char buffer[1024];
        char* in = const_cast<char*>(input.data());
        size_t inLeft = input.size();
        while (inLeft > 0) {
            char* outPtr = buffer;
            size_t outLeft = sizeof buffer;
            const size_t done = iconv(m_handle, &in, &inLeft, &outPtr, &outLeft);
            out.append(buffer, static_cast<size_t>(outPtr - buffer));
            if (done != static_cast<size_t>(-1))
                break;
            if (errno == E2BIG)
                continue;
            out.append(replacement);
            const size_t skip = inLeft < step ? inLeft : step;
            in += skip;
            inLeft -= skip;
            iconv(m_handle, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

private:
    iconv_t m_handle;
};

std::string IconvName(int codePage)
{
    return "CP" + std::to_string(codePage);
}

bool IsUtf8CodePage(int codePage)
{
    return codePage == kCodePageAnsi || codePage == kCodePageUtf8;
}

} // namespace

int GuessCodePage(std::string_view text)
{
    size_t highLeads = 0;      // bytes 0xC0 to 0xFF
    size_t sequenceBytes = 0;  // bytes inside well-formed multi-byte sequences
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0xC0)
            ++highLeads;
        const size_t length = byte >= 0xC0 ? MultiByteSequenceLength(text, i) : 0;
        if (length > 0) {
            sequenceBytes += length;
            i += length;
        } else {
            ++i;
        }
    }
    if (sequenceBytes > 0 && highLeads < sequenceBytes)
        return kCodePageUtf8;
    if (highLeads > 0)
        return kCodePageWin1251;
    return kCodePageAnsi;
}

CZelString ToWide(std::string_view text, int codePage)
{
    if (text.size() > kMaxInputForWide)
        return {};
    if (codePage == kCodePageGuess)
        codePage = GuessCodePage(text);
    if (codePage == kCodePageWin1251 || codePage == kCodePageWin1251Alias)
        return Win1251ToWide(text);
    if (!IsUtf8CodePage(codePage)) {
        IconvConverter converter("UTF-16LE", IconvName(codePage).c_str());
        if (converter.Valid())
            return CZelString(std::string_view(converter.Convert(text, std::string_view("?\0", 2), 1)));
    }
    return PlatformUtf8ToWide(text);
}

CZelString FromWide(std::string_view wide, int codePage)
{
    if (codePage == kCodePageWin1251 || codePage == kCodePageWin1251Alias)
        return WideToWin1251(wide);
    if (!IsUtf8CodePage(codePage) && codePage != kCodePageGuess) {
        IconvConverter converter(IconvName(codePage).c_str(), "UTF-16LE");
        if (converter.Valid())
            return CZelString(std::string_view(converter.Convert(wide.substr(0, wide.size() & ~size_t{1}), "?", 2)));
    }
    return WideToPlatformUtf8(wide);
}

CZelString Utf8ToWide(std::string_view utf8, bool appendTerminator)
{
    if (utf8.size() > kMaxInputForWide)
        return {};
    WideWriter out(utf8.size() + 1);
    for (size_t i = 0; i < utf8.size();) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        const size_t length = byte >= 0xC0 ? MultiByteSequenceLength(utf8, i) : 0;
        if (length == 0) {
            out.Put(byte);
            ++i;
        } else {
            out.Put(length == 4 ? kUnderscore : static_cast<char16_t>(DecodeSequence(utf8, i, length)));
            i += length;
        }
    }
    if (appendTerminator && !out.EndsWithZero())
        out.Put(0);
    return out.Take();
}

CZelString WideToUtf8(std::string_view wide)
{
    if (wide.size() % 2 != 0 || wide.size() / 2 > static_cast<size_t>(kMaxWideUnits))
        return {};
    size_t units = wide.size() / 2;
    if (units > 0 && UnitAt(wide, units - 1) == 0)
        --units;
    ByteWriter out(units * 3);
    for (size_t i = 0; i < units; ++i)
        AppendUtf8(out, UnitAt(wide, i));
    return out.Take();
}

CZelString WideFromChar16(const char16_t* text)
{
    if (!text)
        return {};
    const std::u16string_view units(text);
    WideWriter out(units.size());
    for (char16_t unit : units)
        out.Put(unit);
    return out.Take();
}
