#pragma once
// Conversions between 8-bit text and 16-bit ("wide") text. Wide text travels in a CZelString
// as little-endian 16-bit units, two bytes each.
//
// Code pages: 1251 is windows-1251 by a built-in table; -2 guesses between UTF-8 and 1251;
// 0 (the ANSI code page) and 65001 are UTF-8 on this platform; any other number goes through
// the C library's iconv as "CP<n>" and falls back to UTF-8 when iconv does not know it.

#include "foundation/CZelString.h"

#include <cstdint>
#include <string_view>

constexpr int kCodePageAnsi = 0;
constexpr int kCodePageWin1251Alias = -1;  // the same built-in table as 1251
constexpr int kCodePageGuess = -2;
constexpr int kCodePageWin1251 = 1251;
constexpr int kCodePageUtf8 = 65001;

// Wide texts longer than this many units are refused by WideToUtf8 (empty result).
constexpr int32_t kMaxWideUnits = 10485760;

// The code page that a -2 guess picks for these bytes: 65001, 1251 or 0.
int GuessCodePage(std::string_view text);
inline int GuessCodePage(const CZelString& text) { return GuessCodePage(text.View()); }
inline int GuessCodePage(const char* text) { return GuessCodePage(std::string_view(text ? text : "")); }

// 8-bit text in `codePage` to wide text.
CZelString ToWide(std::string_view text, int codePage);
inline CZelString ToWide(const CZelString& text, int codePage) { return ToWide(text.View(), codePage); }
inline CZelString ToWide(const char* text, int codePage) { return ToWide(std::string_view(text ? text : ""), codePage); }

// Wide text to 8-bit text in `codePage` (0 = ANSI = UTF-8). Units the code page cannot show
// become '?'.
CZelString FromWide(std::string_view wide, int codePage);
inline CZelString FromWide(const CZelString& wide, int codePage) { return FromWide(wide.View(), codePage); }
inline CZelString FromWide(const char* wide, int codePage) = delete;  // wide text is not NUL-terminated bytes

// The string library's own UTF-8 reading: 2- and 3-byte sequences are decoded, a 4-byte
// sequence becomes '_', any other byte becomes the unit of the same value. With
// `appendTerminator`, a zero unit is added unless the result already ends with one.
CZelString Utf8ToWide(std::string_view utf8, bool appendTerminator = false);
inline CZelString Utf8ToWide(const CZelString& utf8, bool appendTerminator = false)
{
    return Utf8ToWide(utf8.View(), appendTerminator);
}
inline CZelString Utf8ToWide(const char* utf8, bool appendTerminator = false)
{
    return Utf8ToWide(std::string_view(utf8 ? utf8 : ""), appendTerminator);
}

// Each unit on its own in one to three bytes (surrogate halves are not joined); one trailing
// zero unit is dropped. An odd byte count or more than kMaxWideUnits units give "".
CZelString WideToUtf8(std::string_view wide);
inline CZelString WideToUtf8(const CZelString& wide) { return WideToUtf8(wide.View()); }
inline CZelString WideToUtf8(const char* wide) = delete;  // wide text is not NUL-terminated bytes

// A NUL-terminated char16_t text as wide bytes (without the terminator); null gives "".
CZelString WideFromChar16(const char16_t* text);
