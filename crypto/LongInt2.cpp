#include "crypto/LongInt2.h"

#include "crypto/LongIntWords.h"
#include "foundation/XTOOError.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr const char kInitFailed[] = "TL_NEW[] returns NULL in void LongInt2::Init(int Size)";
constexpr const char kAssignTooBig[] = "LongInt2 & LongInt2::operator = (const LongInt2 &Second)";
constexpr const char kAddSize[] = "Size2 > Size1 in LongInt2 & LongInt2::operator += (const LongInt2 &Second)";
constexpr const char kAddOverflow[] = "Overflow in LongInt2 & LongInt2::operator += (const LongInt2 &Second)";
constexpr const char kSubSize[] = "(Size2 > Size1) in LongInt2 & LongInt2::operator -= (const LongInt2 &Second)";
constexpr const char kSubUnderflow[] = "Underflow in LongInt2 & LongInt2::operator -= (const LongInt2 &Second)";
constexpr const char kShiftOverflow[] = "Overflow (1) in LongInt2::operator <<= (int x)";
constexpr const char kMulTooSmall[] = "Not enough size for multiplication result size";
constexpr const char kRestByZero[] = "LongInt2::CalcRest() - Divider==0";
constexpr const char kRestTooSmall[] = "LongInt2::CalcRest() - ThisSize < RealDividerSize";
constexpr const char kDivideByZero[] = "LongInt2::Divide() - Divider==0";
constexpr const char kDivideTooSmall[] = "LongInt2::Divide() - ThisSize < RealDividerSize";
constexpr const char kGuardReport[] = "LongInt2::~LongInt2():%s%s\n";
constexpr const char kGuardLogFile[] = "logs/LongInt2.txt";
constexpr int kFrontGuard = 4;

// A value as 64-bit words, wiped when dropped.
struct Words {
    CWordBuffer w;
    int n = 0;                                          // significant words
};

Words Load(const LongInt2& v, int extraWords = 0)
{
    const int real = v.GetRealSize();
    Words out;
    out.n = LongIntWords::WordsForBytes(real);
    out.w = CWordBuffer(out.n + extraWords + 1);
    LongIntWords::FromBytes(out.w.Data(), out.n, v.GetData(), real);
    return out;
}

int RealBytes(const Word* w, int n)
{
    n = LongIntWords::Significant(w, n);
    if (n == 0)
        return 0;
    Word top = w[n - 1];
    int bytes = 0;
    while (top) {
        ++bytes;
        top >>= 8;
    }
    return 8 * (n - 1) + bytes;
}

// Writes words into the value's Size bytes; the caller has checked that they fit.
void Store(LongInt2& v, const Word* w, int n)
{
    LongIntWords::ToBytes(v.GetData(), v.GetSize(), w, n);
}

void WriteGuardReport(const char* overflow, const char* underflow)
{
    std::fprintf(stderr, kGuardReport, overflow, underflow);
    if (std::FILE* log = std::fopen(kGuardLogFile, "ab")) {
        std::fprintf(log, kGuardReport, overflow, underflow);
        std::fclose(log);
    }
}

} // namespace

LongInt2::LongInt2(int size) { Init(size); }

LongInt2::LongInt2(const void* bytes, int n)
{
    Init(n);
    SetBytes(bytes, n);
}

LongInt2::LongInt2(LongInt2&& other) noexcept : m_block(other.m_block), m_data(other.m_data), m_size(other.m_size)
{
    other.m_block = nullptr;
    other.m_data = nullptr;
    other.m_size = 0;
}

LongInt2::~LongInt2()
{
    if (!m_block)
        return;
    const bool underflow = !GuardsIntactFront();
    const bool overflow = !GuardsIntactBack();
    if (underflow || overflow)
        WriteGuardReport(overflow ? " overflow detected" : "", underflow ? " underflow detected" : "");
    Free();
}

void LongInt2::Init(int size)
{
    // The allocation (2 x limbs + 8 + 4 bytes) must stay countable in an int.
    if (size < 0 || size > INT32_MAX - 16)
        throw XTOOBareText(kInitFailed);
    m_size = size;
    const size_t block = static_cast<size_t>(AllocatedLength()) + kFrontGuard;
    m_block = new (std::nothrow) uint8_t[block]();
    if (!m_block) {
        m_size = 0;
        throw XTOOBareText(kInitFailed);
    }
    m_data = m_block + kFrontGuard;
}

void LongInt2::Free() noexcept
{
    if (m_block) {
        LongIntWords::Wipe(m_block, static_cast<size_t>(AllocatedLength()) + kFrontGuard);
        delete[] m_block;
    }
    m_block = nullptr;
    m_data = nullptr;
    m_size = 0;
}

bool LongInt2::GuardsIntactFront() const noexcept
{
    for (int i = 0; i < kFrontGuard; ++i)
        if (m_block[i])
            return false;
    return true;
}

bool LongInt2::GuardsIntactBack() const noexcept
{
    const int alloc = AllocatedLength();
    for (int i = m_size; i < alloc; ++i)
        if (m_data[i])
            return false;
    return true;
}

bool LongInt2::GuardsIntact() const noexcept
{
    return !m_block || (GuardsIntactFront() && GuardsIntactBack());
}

void LongInt2::ClearAboveSize() noexcept
{
    if (m_data)
        std::memset(m_data + m_size, 0, static_cast<size_t>(AllocatedLength() - m_size));
}

LongInt2& LongInt2::operator=(const LongInt2& second)
{
    if (this == &second)
        return *this;
    const int real = second.GetRealSize();
    if (real > m_size)
        throw XTOOBareText(kAssignTooBig);
    if (real)
        std::memcpy(m_data, second.m_data, static_cast<size_t>(real));
    if (m_size > real)
        std::memset(m_data + real, 0, static_cast<size_t>(m_size - real));
    ClearAboveSize();
    return *this;
}

void LongInt2::SetBytes(const void* bytes, int n)
{
    if (n == AllBytes)
        n = m_size;
    if (n < 0 || !bytes)
        n = 0;
    const int copy = n < m_size ? n : m_size;
    if (copy > 0)
        std::memcpy(m_data, bytes, static_cast<size_t>(copy));
    if (m_size > copy)
        std::memset(m_data + copy, 0, static_cast<size_t>(m_size - copy));
    ClearAboveSize();
}

void LongInt2::SetZero() noexcept
{
    if (m_size > 0)
        std::memset(m_data, 0, static_cast<size_t>(m_size));
    ClearAboveSize();
}

void LongInt2::SetSmall(uint32_t value)
{
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    LongInt2 source(bytes, 4);
    *this = source;
}

int LongInt2::GetRealSize() const noexcept
{
    int n = m_size;
    while (n > 0 && m_data[n - 1] == 0)
        --n;
    return n;
}

int LongInt2::GetRealWords() const noexcept { return (GetRealSize() + 1) / 2; }

int LongInt2::GetBitLength() const noexcept
{
    const int real = GetRealSize();
    if (real == 0)
        return 0;
    return 8 * (real - 1) + (32 - __builtin_clz(static_cast<unsigned>(m_data[real - 1])));
}

LongInt2& LongInt2::operator+=(const LongInt2& second)
{
    if (second.GetRealWords() > WordCount())
        throw XTOOBareText(kAddSize);
    Words a = Load(*this), b = Load(second);
    const int n = (a.n > b.n ? a.n : b.n) + 1;
    CWordBuffer sum(n), wideA(n);
    if (a.n)
        std::memcpy(wideA.Data(), a.w.Data(), sizeof(Word) * static_cast<size_t>(a.n));
    const Word carry = LongIntWords::Add(sum.Data(), wideA.Data(), n - 1, b.w.Data(), b.n);
    sum[n - 1] = carry;
    // The sum is kept modulo 256^Size; a carry past the capacity is the overflow.
    const bool overflow = RealBytes(sum.Data(), n) > m_size;
    Store(*this, sum.Data(), n);
    ClearAboveSize();
    if (overflow)
        throw XTOOBareText(kAddOverflow);
    return *this;
}

LongInt2& LongInt2::operator-=(const LongInt2& second)
{
    if (second.GetRealWords() > WordCount())
        throw XTOOBareText(kSubSize);
    Words a = Load(*this), b = Load(second);
    const int n = (a.n > b.n ? a.n : b.n) + 1;
    CWordBuffer wideA(n), diff(n);
    if (a.n)
        std::memcpy(wideA.Data(), a.w.Data(), sizeof(Word) * static_cast<size_t>(a.n));
    const Word borrow = LongIntWords::Sub(diff.Data(), wideA.Data(), n, b.w.Data(), b.n);
    if (borrow) {
        // Wrapped result modulo 256^Size, as the limbs leave it; the bytes past Size stay clean.
        Store(*this, diff.Data(), n);
        if (m_size > n * 8)
            std::memset(m_data + n * 8, 0xFF, static_cast<size_t>(m_size - n * 8));
        ClearAboveSize();
        throw XTOOBareText(kSubUnderflow);
    }
    Store(*this, diff.Data(), n);
    ClearAboveSize();
    return *this;
}

int LongInt2::Compare(const LongInt2& second) const noexcept
{
    const int ra = GetRealSize(), rb = second.GetRealSize();
    const int wa = (ra + 1) / 2, wb = (rb + 1) / 2;
    if (wa != wb)
        return wa < wb ? -1 : 1;
    for (int i = 2 * wa - 1; i >= 0; --i) {
        const uint8_t x = Byte(i), y = second.Byte(i);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

bool LongInt2::operator==(const LongInt2& second) const noexcept
{
    const int real = GetRealSize();
    return real == second.GetRealSize() && (real == 0 || std::memcmp(m_data, second.m_data, static_cast<size_t>(real)) == 0);
}

LongInt2& LongInt2::operator<<=(int bits)
{
    if (bits < 0)
        return *this >>= (bits == INT32_MIN ? INT32_MAX : -bits);
    const int64_t byteShift = bits / 8;
    const int bitShift = bits % 8;
    // Whole bytes pushed past the capacity must be zero; the last 0-7 bits are not checked.
    const int64_t firstDropped = byteShift >= m_size ? 0 : m_size - byteShift;
    for (int64_t i = firstDropped; i < m_size; ++i)
        if (m_data[i])
            throw XTOOBareText(kShiftOverflow);
    if (byteShift >= m_size) {
        SetZero();
        return *this;
    }
    const int s = static_cast<int>(byteShift);
    for (int i = m_size - 1; i >= 0; --i) {
        const int src = i - s;
        uint8_t hi = src >= 0 ? m_data[src] : 0;
        uint8_t lo = src - 1 >= 0 ? m_data[src - 1] : 0;
        m_data[i] = bitShift ? static_cast<uint8_t>((hi << bitShift) | (lo >> (8 - bitShift))) : hi;
    }
    ClearAboveSize();
    return *this;
}

LongInt2& LongInt2::operator>>=(int bits)
{
    if (bits < 0)
        return *this <<= (bits == INT32_MIN ? INT32_MAX : -bits);
    if (static_cast<int64_t>(bits) >= 8 * static_cast<int64_t>(m_size)) {
        SetZero();
        return *this;
    }
    const int s = bits / 8, bitShift = bits % 8;
    for (int i = 0; i < m_size; ++i) {
        const int src = i + s;
        uint8_t lo = src < m_size ? m_data[src] : 0;
        uint8_t hi = src + 1 < m_size ? m_data[src + 1] : 0;
        m_data[i] = bitShift ? static_cast<uint8_t>((lo >> bitShift) | (hi << (8 - bitShift))) : lo;
    }
    ClearAboveSize();
    return *this;
}

void LongInt2::Mul(const LongInt2& a, const LongInt2& b)
{
    Words x = Load(a), y = Load(b);
    if (x.n == 0 || y.n == 0) {
        SetZero();
        return;
    }
    CWordBuffer product(x.n + y.n);
    if (&a == &b)
        LongIntWords::Sqr(product.Data(), x.w.Data(), x.n);
    else
        LongIntWords::Mul(product.Data(), x.w.Data(), x.n, y.w.Data(), y.n);
    if (RealBytes(product.Data(), x.n + y.n) > m_size)
        throw XTOOBareText(kMulTooSmall);
    Store(*this, product.Data(), x.n + y.n);
    ClearAboveSize();
}

namespace {

// Quotient and remainder of a by d (d non-zero) as word buffers.
void DivideWords(const LongInt2& a, const LongInt2& d, Words& quotient, Words& remainder)
{
    Words x = Load(a), y = Load(d);
    remainder.w = CWordBuffer(y.n);
    remainder.n = y.n;
    if (LongIntWords::Compare(x.w.Data(), x.n, y.w.Data(), y.n) < 0) {
        quotient.w = CWordBuffer(1);
        quotient.n = 1;
        if (x.n)
            std::memcpy(remainder.w.Data(), x.w.Data(), sizeof(Word) * static_cast<size_t>(x.n));
        return;
    }
    quotient.n = x.n - y.n + 1;
    quotient.w = CWordBuffer(quotient.n);
    LongIntWords::DivMod(quotient.w.Data(), remainder.w.Data(), x.w.Data(), x.n, y.w.Data(), y.n);
}

} // namespace

void LongInt2::CalcRest(const LongInt2& a, const LongInt2& divider)
{
    if (divider.IsZero())
        throw XTOOBareText(kRestByZero);
    if (m_size < divider.GetRealSize())
        throw XTOOBareText(kRestTooSmall);
    Words q, r;
    DivideWords(a, divider, q, r);
    Store(*this, r.w.Data(), r.n);
    ClearAboveSize();
}

void LongInt2::Divide(const LongInt2& a, const LongInt2& divider, LongInt2* rest)
{
    if (divider.IsZero())
        throw XTOOBareText(kDivideByZero);
    if (m_size < divider.GetRealSize())
        throw XTOOBareText(kDivideTooSmall);
    Words q, r;
    DivideWords(a, divider, q, r);
    // Check both destinations before writing either, so a failure changes nothing.
    if (RealBytes(q.w.Data(), q.n) > m_size)
        throw XTOOBareText(kAssignTooBig);
    if (rest && RealBytes(r.w.Data(), r.n) > rest->m_size)
        throw XTOOBareText(kAssignTooBig);
    Store(*this, q.w.Data(), q.n);
    ClearAboveSize();
    if (rest && rest != this) {
        Store(*rest, r.w.Data(), r.n);
        rest->ClearAboveSize();
    }
}

int LongInt2::InvMod(const LongInt2& x, const LongInt2& m)
{
    if (x.GetRealSize() > m.GetRealSize())
        return 1;
    if (m.IsZero())
        return 2;
    Words mw = Load(m);
    const int n = mw.n;
    // Extended Euclid on unsigned values: r(i+1) = r(i-1) - q r(i), u(i+1) = u(i-1) + q u(i),
    // and x u(i) = (-1)^(i+1) r(i) mod m.
    CWordBuffer a(n + 1), b(n + 1), u0(n + 1), u1(n + 1), q(n + 1), r(n + 1), t(2 * n + 2);
    std::memcpy(a.Data(), mw.w.Data(), sizeof(Word) * static_cast<size_t>(n));
    {
        Words xq, xr;
        DivideWords(x, m, xq, xr);
        std::memcpy(b.Data(), xr.w.Data(), sizeof(Word) * static_cast<size_t>(xr.n));
    }
    u1[0] = 1;
    int steps = 0;
    while (LongIntWords::Significant(b.Data(), n) > 0) {
        const int an = LongIntWords::Significant(a.Data(), n), bn = LongIntWords::Significant(b.Data(), n);
        std::memset(q.Data(), 0, sizeof(Word) * static_cast<size_t>(n + 1));
        std::memset(r.Data(), 0, sizeof(Word) * static_cast<size_t>(n + 1));
        if (an >= bn)
            LongIntWords::DivMod(q.Data(), r.Data(), a.Data(), an, b.Data(), bn);
        else
            std::memcpy(r.Data(), a.Data(), sizeof(Word) * static_cast<size_t>(an));
        // u2 = u0 + q u1 stays below m, so n words hold it.
        const int qn = LongIntWords::Significant(q.Data(), n), un = LongIntWords::Significant(u1.Data(), n);
        std::memset(t.Data(), 0, sizeof(Word) * static_cast<size_t>(2 * n + 2));
        if (qn && un)
            LongIntWords::Mul(t.Data(), q.Data(), qn, u1.Data(), un);
        LongIntWords::Add(t.Data(), t.Data(), 2 * n + 2, u0.Data(), n);
        std::memcpy(u0.Data(), u1.Data(), sizeof(Word) * static_cast<size_t>(n + 1));
        std::memcpy(u1.Data(), t.Data(), sizeof(Word) * static_cast<size_t>(n + 1));
        std::memcpy(a.Data(), b.Data(), sizeof(Word) * static_cast<size_t>(n + 1));
        std::memcpy(b.Data(), r.Data(), sizeof(Word) * static_cast<size_t>(n + 1));
        ++steps;
    }
    // a is the gcd; reaching 0 before 1 means x and m share a factor.
    const bool coprime = LongIntWords::Significant(a.Data(), n) == 1 && a[0] == 1;
    const bool modulusOne = n == 1 && mw.w[0] == 1;
    if (!coprime && !modulusOne)
        return 2;
    CWordBuffer result(n + 1);
    if (!modulusOne) {
        // u(steps) < m; its sign is (-1)^(steps+1).
        const int un = LongIntWords::Significant(u0.Data(), n + 1);
        if (LongIntWords::Compare(u0.Data(), un, mw.w.Data(), n) >= 0)
            LongIntWords::DivMod(nullptr, result.Data(), u0.Data(), un, mw.w.Data(), n);
        else if (un)
            std::memcpy(result.Data(), u0.Data(), sizeof(Word) * static_cast<size_t>(un));
        const bool negative = (steps + 1) % 2 != 0;
        if (negative && LongIntWords::Significant(result.Data(), n) > 0)
            LongIntWords::Sub(result.Data(), mw.w.Data(), n, result.Data(), n);
    }
    if (RealBytes(result.Data(), n) > m_size)
        throw XTOOBareText(kAssignTooBig);
    Store(*this, result.Data(), n);
    ClearAboveSize();
    return 0;
}

void LongInt2Access::PokeRaw(LongInt2& value, int offset, uint8_t byte) noexcept
{
    value.m_data[offset] = byte;
}
