#include "foundation/ZelNumbers.h"

#include <cstdint>

namespace {

bool IsTerminator(char byte, std::string_view terminators)
{
    return terminators.find(byte) != std::string_view::npos;
}

// The end of the text: `length` bytes, or up to the first NUL when `length` is -1.
bool AtEnd(const char* text, int32_t length, int32_t index)
{
    return length < 0 ? text[index] == '\0' : index >= length;
}

int HexDigit(char byte)
{
    if (byte >= '0' && byte <= '9') return byte - '0';
    if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
    return -1;
}

} // namespace

bool ParseDecimal(const char* text, int32_t length, int64_t& value, std::string_view terminators, int32_t* stop)
{
    int32_t i = 0;
    const auto report = [&](bool ok) {
        if (stop)
            *stop = i;
        return ok;
    };
    if (!text)
        return report(false);

    bool negative = false;
    if (!AtEnd(text, length, i) && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate the magnitude; INT64_MIN's magnitude is one more than INT64_MAX.
    const uint64_t limit = negative ? uint64_t{1} << 63 : static_cast<uint64_t>(INT64_MAX);
    uint64_t magnitude = 0;
    int32_t digits = 0;
    for (; !AtEnd(text, length, i) && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        const unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (magnitude > (limit - digit) / 10)
            return report(false);
        magnitude = magnitude * 10 + digit;
    }
    if (digits == 0)
        return report(false);
    if (!AtEnd(text, length, i) && text[i] != '\0' && !IsTerminator(text[i], terminators))
        return report(false);
    value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return report(true);
}

bool ParseHex(const char* text, int32_t length, uint64_t& value, std::string_view terminators, int32_t* stop)
{
    int32_t i = 0;
    const auto report = [&](bool ok) {
        if (stop)
            *stop = i;
        return ok;
    };
    if (!text)
        return report(false);

    uint64_t result = 0;
    int32_t digits = 0;
    for (; !AtEnd(text, length, i) && !IsTerminator(text[i], terminators); ++i, ++digits) {
        const int digit = HexDigit(text[i]);
        if (digit < 0 || (result >> 60) != 0)
            return report(false);
        result = (result << 4) | static_cast<uint64_t>(digit);
    }
    if (digits == 0)
        return report(false);
    value = result;
    return report(true);
}
