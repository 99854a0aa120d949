#pragma once
// Decimal and hexadecimal number parsing over arbitrary bytes.
//
// `length` -1 reads up to the first NUL byte. `stop`, when given, receives the index where
// parsing stopped, whether it succeeded or not. `value` is written only on success.

#include "foundation/CZelString.h"

#include <cstdint>
#include <string_view>

// Optional '+' or '-', then at least one digit; the value must fit a signed 64-bit integer
// (INT64_MIN included). Succeeds only when parsing stopped at the end, at a NUL byte or at a
// byte of `terminators`.
bool ParseDecimal(const char* text, int32_t length, int64_t& value,
                  std::string_view terminators = {}, int32_t* stop = nullptr);
inline bool ParseDecimal(const CZelString& text, int64_t& value,
                         std::string_view terminators = {}, int32_t* stop = nullptr)
{
    return ParseDecimal(text.Ptr(), text.Length(), value, terminators, stop);
}

// Digits 0-9, A-F, a-f up to the end (a NUL when `length` is -1) or to a byte of
// `terminators`; any other byte fails, so do no digits at all and more than 64 bits.
bool ParseHex(const char* text, int32_t length, uint64_t& value,
              std::string_view terminators = {}, int32_t* stop = nullptr);
inline bool ParseHex(const CZelString& text, uint64_t& value,
                     std::string_view terminators = {}, int32_t* stop = nullptr)
{
    return ParseHex(text.Ptr(), text.Length(), value, terminators, stop);
}
