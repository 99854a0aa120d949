#pragma once
// CZelString: the one string type of the system. A handle on a shared, immutable,
// reference-counted body; any bytes (NULs included), measured by length.

#include "foundation/CZelRefCounted.h"

#include <cstdint>
#include <string>
#include <string_view>

class CZelString {
public:
    // Construction
    CZelString() noexcept = default;
    CZelString(const char* text);                      // NUL-terminated; null gives empty
    CZelString(const char* data, int32_t length);      // null data gives `length` zero bytes
    explicit CZelString(std::string_view bytes);
    CZelString(const CZelString& other) noexcept;
    CZelString(CZelString&& other) noexcept;
    CZelString& operator=(const CZelString& other) noexcept;
    CZelString& operator=(CZelString&& other) noexcept;
    ~CZelString();

    // A fresh body of `length` bytes (zeroed) whose bytes the caller fills through `*data`
    // before the string is shared. Gives an empty string when the body cannot be had.
    static CZelString Uninitialized(int32_t length, char** data);

    // Access
    int32_t Length() const noexcept;
    bool IsEmpty() const noexcept { return Length() == 0; }
    const char* Ptr() const noexcept;                  // always followed by three zero bytes
    char operator[](int32_t index) const noexcept;     // NUL outside the string
    std::string_view View() const noexcept { return {Ptr(), static_cast<size_t>(Length())}; }
    std::string ToStd() const { return std::string(View()); }

    // Comparison: byte-exact; three-way order on signed bytes, a prefix sorts first.
    bool operator==(const CZelString& other) const noexcept;
    bool operator==(const char* text) const noexcept;
    int Compare(const CZelString& other) const noexcept;
    bool operator<(const CZelString& other) const noexcept { return Compare(other) < 0; }

    // Search (-1 when absent or when start is negative); end -1 = to the end
    int32_t Find(char byte, int32_t start = 0, int32_t end = -1) const noexcept;
    int32_t ReverseFind(char byte) const noexcept;
    int32_t Find(const CZelString& sub, int32_t start = 0) const noexcept;

    // Pieces
    CZelString Left(int32_t n) const;
    CZelString Right(int32_t n) const;
    CZelString Mid(int32_t start, int32_t length = -1) const;
    CZelString operator+(const CZelString& other) const;
    CZelString operator+(const char* text) const;
    CZelString& operator+=(const CZelString& other);
    CZelString& operator+=(const char* text);
    int Replace(const CZelString& from, const CZelString& to);  // number of replacements

    // Upper-case copy: 1251 or -1 the windows-1251 table, -2 or 65001 the same letters in
    // UTF-8, any other code page only a to z.
    CZelString Upper(int codePage) const;

    // Tokenizing (changes this string)
    CZelString GetWord(std::string_view delimiters, bool skipLeading, bool remove);
    CZelString NextArg();

private:
    // A body either owns its bytes (allocated right behind it) or is a tail slice of an owning
    // body, which `source` keeps alive. Declared here so that the empty string stays inline.
    struct Body : CZelRefCounted<Body> {
        int32_t length = 0;
        const char* data = nullptr;
        CZelRef<Body> source;

        static void Free(Body* body) noexcept;  // back to the allocator the body came from
    };

    explicit CZelString(CZelRef<Body> body) noexcept;
    static CZelRef<Body> Allocate(int32_t length);
    static CZelRef<Body> Slice(const CZelRef<Body>& source, int32_t start);

    CZelRef<Body> m_body;
};

CZelString operator+(const char* text, const CZelString& string);
