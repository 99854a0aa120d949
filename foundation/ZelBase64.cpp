#include "foundation/ZelBase64.h"

#include <array>
#include <memory>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr int8_t kNotInAlphabet = -1;
constexpr int8_t kSkipped = -2;

constexpr std::array<int8_t, 256> MakeDecodeTable()
{
    std::array<int8_t, 256> table{};
    for (auto& entry : table)
        entry = kNotInAlphabet;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    return table;
}
constexpr std::array<int8_t, 256> kDecode = MakeDecodeTable();

// The alphabet's values, with the caller's skip set marked (alphabet letters stay letters).
std::array<int8_t, 256> DecodeTableWithSkipSet(std::string_view skip)
{
    std::array<int8_t, 256> table = kDecode;
    for (char c : skip)
        if (table[static_cast<unsigned char>(c)] == kNotInAlphabet)
            table[static_cast<unsigned char>(c)] = kSkipped;
    return table;
}

// Writes the encoded characters, putting the separator after every full line.
class LineWriter {
public:
    LineWriter(char* out, int32_t lineLength, std::string_view separator)
        : m_out(out), m_lineLength(lineLength), m_separator(separator) {}
    void Put(char c) noexcept
    {
        if (m_lineLength > 0 && m_column == m_lineLength) {
            for (char s : m_separator)
                *m_out++ = s;
            m_column = 0;
        }
        *m_out++ = c;
        ++m_column;
    }

private:
    char* m_out;
    int32_t m_lineLength;
    std::string_view m_separator;
    int32_t m_column = 0;
};

} // namespace

CZelString Base64Encode(std::string_view data, int32_t lineLength, std::string_view separator)
{
    const size_t characters = (data.size() + 2) / 3 * 4;
    const size_t breaks = lineLength > 0 && characters > 0 ? (characters - 1) / static_cast<size_t>(lineLength) : 0;
    const size_t total = characters + breaks * separator.size();
    if (characters == 0 || total > static_cast<size_t>(INT32_MAX) - 8)
        return {};
    char* out = nullptr;
    CZelString result = CZelString::Uninitialized(static_cast<int32_t>(total), &out);
    if (!out)
        return {};

    LineWriter writer(out, lineLength, separator);
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        writer.Put(kAlphabet[group >> 18]);
        writer.Put(kAlphabet[(group >> 12) & 63]);
        writer.Put(kAlphabet[(group >> 6) & 63]);
        writer.Put(kAlphabet[group & 63]);
    }
    if (const size_t rest = data.size() - i) {
        const uint32_t group = (bytes[i] << 16) | (rest == 2 ? bytes[i + 1] << 8 : 0);
        writer.Put(kAlphabet[group >> 18]);
        writer.Put(kAlphabet[(group >> 12) & 63]);
        writer.Put(rest == 2 ? kAlphabet[(group >> 6) & 63] : kPad);
        writer.Put(kPad);
    }
    return result;
}

Base64Result Base64Decode(std::string_view text, std::string_view skip)
{
    const std::array<int8_t, 256> table = DecodeTableWithSkipSet(skip);
    const auto valueOf = [&](size_t at) { return table[static_cast<unsigned char>(text[at])]; };

    auto out = std::make_unique_for_overwrite<char[]>(text.size() / 4 * 3 + 3);
    size_t written = 0;
    uint32_t bits = 0;
    int bitCount = 0;
    size_t dataCharacters = 0;
    size_t i = 0;
    while (i < text.size()) {
        // Whole groups of four letters in a row, the common case.
        if (bitCount == 0 && i + 4 <= text.size()) {
            const int8_t a = valueOf(i), b = valueOf(i + 1), c = valueOf(i + 2), d = valueOf(i + 3);
            if ((a | b | c | d) >= 0) {
                const uint32_t group = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
                out[written++] = static_cast<char>(group >> 16);
                out[written++] = static_cast<char>(group >> 8);
                out[written++] = static_cast<char>(group);
                dataCharacters += 4;
                i += 4;
                continue;
            }
        }
        const int8_t value = valueOf(i);
        if (value == kSkipped) {
            ++i;
            continue;
        }
        if (value < 0)
            break;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        bitCount += 6;
        ++dataCharacters;
        ++i;
        if (bitCount >= 8) {
            bitCount -= 8;
            out[written++] = static_cast<char>((bits >> bitCount) & 0xFF);
        }
        if (dataCharacters % 4 == 0)
            bitCount = 0;  // a group is complete; the leftover bits are its padding
    }
    // Padding completes the last group of four; skipped bytes may sit among it and after it.
    size_t characters = dataCharacters;
    for (; i < text.size() && characters % 4 != 0; ++i) {
        if (text[i] == kPad)
            ++characters;
        else if (valueOf(i) != kSkipped)
            break;
    }
    while (i < text.size() && valueOf(i) == kSkipped)
        ++i;

    Base64Result result;
    if (written > 0)
        result.bytes = CZelString(out.get(), static_cast<int32_t>(written));
    result.stop = static_cast<int32_t>(i > static_cast<size_t>(INT32_MAX) ? INT32_MAX : i);
    result.ok = i == text.size() && characters % 4 == 0 && dataCharacters % 4 != 1;
    return result;
}
