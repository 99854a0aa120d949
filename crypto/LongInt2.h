#pragma once
// LongInt2: fixed-capacity unsigned big integer. The capacity `Size` (in bytes) is set when the
// value is made; every operation stays inside it and reports overflow, underflow and size
// mismatches by throwing an XTOOBareText with a constant text. The buffer is fenced by guard bytes
// that are checked on destruction, and every value, private keys included, is wiped when freed.
//
// The observable rules (sizes, limb rounding, error conditions) are those of 16-bit limbs;
// the arithmetic itself runs on 64-bit words.

#include "foundation/XTOOError.h"

#include <cstdint>

class LongInt2 {
public:
    // `SetBytes` length meaning "all `Size` bytes".
    static constexpr int AllBytes = -65536;

    explicit LongInt2(int size);
    LongInt2(const void* bytes, int n);                 // capacity n, value = those bytes
    LongInt2(LongInt2&& other) noexcept;                // takes over the buffer; other becomes empty
    ~LongInt2();
    LongInt2(const LongInt2&) = delete;

    // Copies the value; throws when it does not fit this capacity.
    LongInt2& operator=(const LongInt2& second);

    // Copies min(n, Size) bytes and zeroes the rest; longer input is cut silently.
    void SetBytes(const void* bytes, int n);
    void SetZero() noexcept;
    void SetSmall(uint32_t value);                      // throws like operator= when it does not fit

    int GetSize() const noexcept { return m_size; }
    const uint8_t* GetData() const noexcept { return m_data; }
    uint8_t* GetData() noexcept { return m_data; }      // exactly GetSize() bytes are the value
    uint8_t Byte(int i) const noexcept { return i >= 0 && i < m_size ? m_data[i] : 0; }

    int GetRealSize() const noexcept;                   // significant byte length
    int GetRealWords() const noexcept;                  // significant 16-bit limb count
    int GetBitLength() const noexcept;
    bool IsZero() const noexcept { return GetRealSize() == 0; }
    bool IsOdd() const noexcept { return m_size > 0 && (m_data[0] & 1); }

    LongInt2& operator+=(const LongInt2& second);
    LongInt2& operator-=(const LongInt2& second);
    int Compare(const LongInt2& second) const noexcept; // -1, 0, 1
    bool operator==(const LongInt2& second) const noexcept;
    bool operator!=(const LongInt2& second) const noexcept { return !(*this == second); }
    LongInt2& operator<<=(int bits);
    LongInt2& operator>>=(int bits);

    // this = a * b.
    void Mul(const LongInt2& a, const LongInt2& b);
    // this = a mod divider.
    void CalcRest(const LongInt2& a, const LongInt2& divider);
    // this = a / divider; the remainder goes to *rest when given.
    void Divide(const LongInt2& a, const LongInt2& divider, LongInt2* rest = nullptr);
    // this = x^-1 mod m in [0, m): 0 on success, 1 when x has more significant bytes than m,
    // 2 when x and m are not coprime (this is then left unchanged).
    int InvMod(const LongInt2& x, const LongInt2& m);

    // Guard bytes: true while nothing has written outside the value.
    bool GuardsIntact() const noexcept;

private:
    friend class LongInt2Access;
    void Init(int size);
    void Free() noexcept;
    int WordCount() const noexcept { return (m_size + 1) / 2; }
    int AllocatedLength() const noexcept { return 2 * WordCount() + 8; }
    void ClearAboveSize() noexcept;
    bool GuardsIntactFront() const noexcept;
    bool GuardsIntactBack() const noexcept;

    uint8_t* m_block = nullptr;                         // 4 guard bytes, then the data
    uint8_t* m_data = nullptr;
    int m_size = 0;
};

// Exposed for tests of the guard check: writes a byte at an offset relative to the data
// (negative = the front guard), bypassing every check.
class LongInt2Access {
public:
    static void PokeRaw(LongInt2& value, int offset, uint8_t byte) noexcept;
};
