#pragma once
// The system's printf-like formatters.
//
// Format(format, args...) understands the standard printf conversions (%d %u %x %X %o %c %s
// %e %f %g %p ...) byte for byte as the C library prints them, plus:
//   %S   a CZelString (passed by reference or by pointer; a null pointer gives "(null)")
//   %lS  a NUL-terminated char16_t text
//   %D   a 64-bit integer; "%,D" puts ',' between groups of three digits, "%08D" pads with '0'
//   %I   a 32-bit IPv4 address, first octet in the most significant byte
// Without the size letter 'l' or 'L', %e %f %g round their value to single precision first.
// Widths and precisions are capped at 655,360; %n stores only into an int*; a null format
// gives "" and a line in the memory-access log.
//
// FormatTr(argFormat, template, args...) formats each argument by the conversions of
// argFormat into numbered pieces and fills "%1".."%99" of a translated template with them.
//
// Arguments travel as FormatArg values, so the variadic front ends only build an array and
// hand it to one non-template function. A conversion given an argument of a different kind
// converts it where that makes sense (an integer to %f, a CZelString to %s); a missing argument
// reads as 0 or as a null pointer.

#include "foundation/CZelString.h"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

class FormatArg {
public:
    enum class Kind : uint8_t { None, Int, Double, Text, String, Bytes, WideText, Pointer, IntOut };

    FormatArg() noexcept : m_kind(Kind::None) { m_value.integer = 0; }

    // Integers keep their width and signedness so that "%x" of -1 as an int prints 8 digits;
    // narrower types are promoted to int, as in a call to printf.
    template<std::integral T>
    FormatArg(T value) noexcept
        : m_kind(Kind::Int), m_bytes(sizeof(T) < 4 ? 4 : sizeof(T)), m_signed(std::is_signed_v<T>)
    {
        m_value.integer = static_cast<uint64_t>(value);
    }
    template<class E>
        requires std::is_enum_v<E>
    FormatArg(E value) noexcept : FormatArg(static_cast<std::underlying_type_t<E>>(value)) {}

    template<std::floating_point T>
    FormatArg(T value) noexcept : m_kind(Kind::Double) { m_value.real = static_cast<double>(value); }

    FormatArg(const CZelString& string) noexcept : m_kind(Kind::String) { m_value.string = &string; }
    FormatArg(const std::string& bytes) noexcept : FormatArg(std::string_view(bytes)) {}
    FormatArg(std::string_view bytes) noexcept : m_kind(Kind::Bytes)
    {
        m_value.bytes.data = bytes.data();
        m_value.bytes.length = bytes.size();
    }
    FormatArg(std::nullptr_t) noexcept : m_kind(Kind::Pointer) { m_value.pointer = nullptr; }

    // A pointer to char (of any signedness) is a %s text, const CZelString* a %S string,
    // const char16_t* a %lS text, int* the target of %n, anything else a %p pointer.
    template<class T>
    FormatArg(T* pointer) noexcept
    {
        using Base = std::remove_cv_t<T>;
        if constexpr (std::is_same_v<Base, char> || std::is_same_v<Base, unsigned char> ||
                      std::is_same_v<Base, signed char>) {
            m_kind = Kind::Text;
            m_value.text = reinterpret_cast<const char*>(const_cast<const Base*>(pointer));
        } else if constexpr (std::is_same_v<Base, CZelString>) {
            m_kind = Kind::String;
            m_value.string = pointer;
        } else if constexpr (std::is_same_v<Base, char16_t>) {
            m_kind = Kind::WideText;
            m_value.wide = pointer;
        } else if constexpr (std::is_same_v<T, int>) {
            m_kind = Kind::IntOut;
            m_value.out = pointer;
        } else {
            m_kind = Kind::Pointer;
            m_value.pointer = static_cast<const volatile void*>(pointer);
        }
    }

    Kind GetKind() const noexcept { return m_kind; }
    int ByteWidth() const noexcept { return m_bytes; }
    bool IsSigned() const noexcept { return m_signed; }

    // Readings for each kind of conversion (with the conversions between kinds described above).
    int64_t AsInt64() const noexcept;           // the argument's value (%D, %I, %c, '*')
    int64_t AsSigned() const noexcept;          // sign-extended from the argument's own width (%d)
    uint64_t AsUnsigned() const noexcept;       // zero-extended from the argument's own width (%x)
    double AsDouble() const noexcept;
    const void* AsPointer() const noexcept;
    const char* AsText() const noexcept;        // %s; null when the argument holds no text
    const CZelString* AsString() const noexcept;
    std::string_view AsBytes() const noexcept;  // %S body, also for %s given a string
    const char16_t* AsWideText() const noexcept;
    int* AsIntOut() const noexcept;

private:
    Kind m_kind;
    uint8_t m_bytes = 8;
    bool m_signed = true;
    union {
        uint64_t integer;
        double real;
        const char* text;
        const CZelString* string;
        struct { const char* data; size_t length; } bytes;
        const char16_t* wide;
        const volatile void* pointer;
        int* out;
    } m_value;
};

// The non-template cores of Format and FormatTr.
CZelString FormatArgs(const char* format, const FormatArg* args, size_t count);
CZelString FormatTrArgs(const char* argFormat, const CZelString& templ, const FormatArg* args, size_t count);

template<class... A>
CZelString Format(const char* format, const A&... args)
{
    if constexpr (sizeof...(A) == 0) {
        return FormatArgs(format, nullptr, 0);
    } else {
        const FormatArg list[] = {FormatArg(args)...};
        return FormatArgs(format, list, sizeof...(A));
    }
}

template<class... A>
CZelString FormatTr(const char* argFormat, const CZelString& templ, const A&... args)
{
    if constexpr (sizeof...(A) == 0) {
        return FormatTrArgs(argFormat, templ, nullptr, 0);
    } else {
        const FormatArg list[] = {FormatArg(args)...};
        return FormatTrArgs(argFormat, templ, list, sizeof...(A));
    }
}
