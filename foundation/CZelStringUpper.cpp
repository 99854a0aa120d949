#include "foundation/CZelCodePage.h"
#include "foundation/CZelString.h"

#include <cstring>

namespace {

// windows-1251 lower-case letters beyond a-z and U+0430..U+044F, with their capitals.
constexpr unsigned char kWin1251LowerUpper[][2] = {
    {0x83, 0x81}, {0x90, 0x80}, {0x9A, 0x8A}, {0x9C, 0x8C}, {0x9D, 0x8D}, {0x9E, 0x8E}, {0x9F, 0x8F},
    {0xA2, 0xA1}, {0xB3, 0xB2}, {0xB4, 0xA5}, {0xB8, 0xA8}, {0xBA, 0xAA}, {0xBC, 0xA3}, {0xBE, 0xBD},
    {0xBF, 0xAF},
};

unsigned char UpperLatin(unsigned char byte)
{
    return (byte >= 'a' && byte <= 'z') ? static_cast<unsigned char>(byte - 'a' + 'A') : byte;
}

unsigned char UpperWin1251(unsigned char byte)
{
    if (byte >= 0xE0)
        return static_cast<unsigned char>(byte - 0x20);
    if (byte >= 0x80) {
        for (const auto& pair : kWin1251LowerUpper)
            if (pair[0] == byte)
                return pair[1];
        return byte;
    }
    return UpperLatin(byte);
}

// The same letters in UTF-8. Every mapping keeps the sequence length, so the text is changed
// in place: U+0430..U+044F to U+0410..U+042F, the windows-1251 letters of U+0451..U+045F to
// U+0401..U+040F, U+0491 to U+0490.
void UpperUtf8(unsigned char* text, int32_t length)
{
    for (int32_t i = 0; i < length; ++i) {
        const unsigned char byte = text[i];
        if (byte < 0x80) {
            text[i] = UpperLatin(byte);
            continue;
        }
        if (i + 1 >= length)
            break;
        const unsigned char next = text[i + 1];
        if (byte == 0xD0 && next >= 0xB0 && next <= 0xBF) {
            text[i + 1] = static_cast<unsigned char>(next - 0x20);  // а..п
        } else if (byte == 0xD1 && next >= 0x80 && next <= 0x8F) {
            text[i] = 0xD0;                                          // р..я
            text[i + 1] = static_cast<unsigned char>(next + 0x20);
        } else if (byte == 0xD1 && next >= 0x91 && next <= 0x9F && next != 0x9D) {
            text[i] = 0xD0;                                          // ё ђ ѓ є ѕ і ї ј љ њ ћ ќ ў џ
            text[i + 1] = static_cast<unsigned char>(next - 0x10);
        } else if (byte == 0xD2 && next == 0x91) {
            text[i + 1] = 0x90;                                      // ґ
        } else {
            continue;
        }
        ++i;
    }
}

} // namespace

CZelString CZelString::Upper(int codePage) const
{
    const int32_t length = Length();
    if (length == 0)
        return *this;
    char* data = nullptr;
    CZelString result = Uninitialized(length, &data);
    if (!data)
        return {};
    std::memcpy(data, Ptr(), static_cast<size_t>(length));
    auto* bytes = reinterpret_cast<unsigned char*>(data);
    if (codePage == kCodePageWin1251 || codePage == kCodePageWin1251Alias) {
        for (int32_t i = 0; i < length; ++i)
            bytes[i] = UpperWin1251(bytes[i]);
    } else if (codePage == kCodePageGuess || codePage == kCodePageUtf8) {
        UpperUtf8(bytes, length);
    } else {
        for (int32_t i = 0; i < length; ++i)
            bytes[i] = UpperLatin(bytes[i]);
    }
    return result;
}
