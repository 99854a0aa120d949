#pragma once
// Base64 (RFC 4648 alphabet, '=' padding).

#include "foundation/CZelString.h"

#include <cstdint>
#include <string_view>

// With `lineLength` above 0, `separator` follows every full line of that many characters
// except at the very end of the output.
CZelString Base64Encode(std::string_view data, int32_t lineLength = 0, std::string_view separator = "\r\n");
inline CZelString Base64Encode(const CZelString& data, int32_t lineLength = 0,
                               std::string_view separator = "\r\n")
{
    return Base64Encode(data.View(), lineLength, separator);
}
inline CZelString Base64Encode(const char* data, int32_t lineLength = 0, std::string_view separator = "\r\n")
{
    return Base64Encode(std::string_view(data ? data : ""), lineLength, separator);
}

struct Base64Result {
    CZelString bytes;   // what was decoded up to `stop`
    int32_t stop = 0;   // index of the first byte not consumed
    bool ok = false;    // whole input consumed, whole groups of four, no stray 6-bit unit
};

// Bytes of `skip` (e.g. CR and LF) are ignored anywhere; decoding stops at the first byte
// that is neither in the alphabet nor in `skip`.
Base64Result Base64Decode(std::string_view text, std::string_view skip = "\r\n");
inline Base64Result Base64Decode(const CZelString& text, std::string_view skip = "\r\n")
{
    return Base64Decode(text.View(), skip);
}
inline Base64Result Base64Decode(const char* text, std::string_view skip = "\r\n")
{
    return Base64Decode(std::string_view(text ? text : ""), skip);
}
