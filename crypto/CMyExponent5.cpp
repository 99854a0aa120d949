// The Montgomery kernels are the whole cost of key generation and of every RSA block; even an
// unoptimised (debug or sanitizer) build compiles them optimised so that its tests stay quick.
#if defined(__GNUC__) && !defined(__clang__) && !defined(__OPTIMIZE__)
#pragma GCC optimize("O2")
#endif

#include "crypto/CMyExponent5.h"
#include "foundation/XTOOError.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace {

constexpr const char kEvenModulus[] = "CMyExponent5::Init() error: even number P";
constexpr const char kDivByZero[] = "div by 0";
constexpr double kMultiplicationWeight = 1.07781562;

using DWord = unsigned __int128;

inline int ExponentBit(const LongInt2& e, int i)
{
    return (e.GetData()[i >> 3] >> (i & 7)) & 1;
}

// The sliding-window scan over the exponent's bits from the top. `square` and `multiply(index)`
// are called in order; the first window loads the table entry instead of multiplying.
template <class Square, class Multiply, class Load>
void ScanWindows(const LongInt2& e, int w, Square square, Multiply multiply, Load load)
{
    bool started = false;
    int i = e.GetBitLength() - 1;
    while (i >= 0) {
        if (!ExponentBit(e, i)) {
            if (started)
                square();
            --i;
            continue;
        }
        int low = i - w + 1 < 0 ? 0 : i - w + 1;
        while (!ExponentBit(e, low))
            ++low;
        int value = 0;
        for (int b = i; b >= low; --b)
            value = (value << 1) | ExponentBit(e, b);
        if (started) {
            for (int s = i; s >= low; --s)
                square();
            multiply(value >> 1);
        } else {
            load(value >> 1);
            started = true;
        }
        i = low - 1;
    }
}

// Montgomery kernel for any word count (operand scanning).
struct MontAny {
    const Word* p;
    Word pInv;
    int runtimeN;

    int n() const { return runtimeN; }

    // r = a * b / R mod p (CIOS). r may alias a or b; t has n + 2 words.
    void Mul(Word* r, const Word* a, const Word* b, Word* t) const
    {
        const int n = this->n();
        for (int i = 0; i < n + 2; ++i)
            t[i] = 0;
        for (int i = 0; i < n; ++i) {
            const Word bi = b[i];
            Word c = 0;
            for (int j = 0; j < n; ++j) {
                DWord s = static_cast<DWord>(a[j]) * bi + t[j] + c;
                t[j] = static_cast<Word>(s);
                c = static_cast<Word>(s >> 64);
            }
            DWord s = static_cast<DWord>(t[n]) + c;
            t[n] = static_cast<Word>(s);
            t[n + 1] = static_cast<Word>(s >> 64);
            const Word m = t[0] * pInv;
            DWord u = static_cast<DWord>(m) * p[0] + t[0];
            c = static_cast<Word>(u >> 64);
            for (int j = 1; j < n; ++j) {
                u = static_cast<DWord>(m) * p[j] + t[j] + c;
                t[j - 1] = static_cast<Word>(u);
                c = static_cast<Word>(u >> 64);
            }
            u = static_cast<DWord>(t[n]) + c;
            t[n - 1] = static_cast<Word>(u);
            t[n] = t[n + 1] + static_cast<Word>(u >> 64);
        }
        Finish(r, t, t[n]);
    }

    // r = a * a / R mod p: the square first, then word-by-word reduction. t has 2n words.
    void Sqr(Word* r, const Word* a, Word* t) const
    {
        const int n = this->n();
        LongIntWords::Sqr(t, a, n);
        Redc(r, t);
    }

    // r = t / R mod p for t < p R (t has 2n words and is consumed).
    void Redc(Word* r, Word* t) const
    {
        const int n = this->n();
        Word extra = 0;
        for (int i = 0; i < n; ++i) {
            const Word m = t[i] * pInv;
            Word c = 0;
            for (int j = 0; j < n; ++j) {
                DWord u = static_cast<DWord>(m) * p[j] + t[i + j] + c;
                t[i + j] = static_cast<Word>(u);
                c = static_cast<Word>(u >> 64);
            }
            DWord s = static_cast<DWord>(t[i + n]) + c + extra;
            t[i + n] = static_cast<Word>(s);
            extra = static_cast<Word>(s >> 64);
        }
        Finish(r, t + n, extra);
    }

    // r = v - p when v (n words plus the top word) is at least p, else v.
    void Finish(Word* r, const Word* v, Word top) const
    {
        const int n = this->n();
        if (top || LongIntWords::Compare(v, n, p, n) >= 0)
            LongIntWords::SubN(r, v, p, n);
        else if (r != v)
            std::memmove(r, v, sizeof(Word) * static_cast<size_t>(n));
    }
};

// Product-scanning (column-wise) Montgomery for a word count fixed at compile time: each
// output column is summed in a three-word accumulator, the reduction interleaved, so the
// unrolled loops keep everything in registers.
struct Accumulator {
    Word c0 = 0, c1 = 0, c2 = 0;

    inline void MulAdd(Word a, Word b)
    {
#if defined(__x86_64__) && !defined(__BMI2__)
        // mul, then a three-word add: the carry chain stays in the flags.
        __asm__("mulq %[b]\n\t"
                "addq %%rax, %[c0]\n\t"
                "adcq %%rdx, %[c1]\n\t"
                "adcq $0, %[c2]"
                : [c0] "+r"(c0), [c1] "+r"(c1), [c2] "+r"(c2), "+a"(a)
                : [b] "rm"(b)
                : "rdx", "cc");
#else
        const DWord p = static_cast<DWord>(a) * b;
        const DWord s = ((static_cast<DWord>(c1) << 64) | c0) + p;
        c2 += s < p;
        c0 = static_cast<Word>(s);
        c1 = static_cast<Word>(s >> 64);
#endif
    }
    inline void AddDoubled(const Accumulator& t)
    {
        const Word d0 = t.c0 << 1, d1 = (t.c1 << 1) | (t.c0 >> 63), d2 = (t.c2 << 1) | (t.c1 >> 63);
        const DWord low = ((static_cast<DWord>(c1) << 64) | c0);
        const DWord add = ((static_cast<DWord>(d1) << 64) | d0);
        const DWord s = low + add;
        c2 += d2 + (s < add);
        c0 = static_cast<Word>(s);
        c1 = static_cast<Word>(s >> 64);
    }
    inline Word Shift()
    {
        const Word out = c0;
        c0 = c1;
        c1 = c2;
        c2 = 0;
        return out;
    }
};

template <int N>
struct MontFixed {
    const Word* p;
    Word pInv;
    int runtimeN;

    // r = v - p when v (N words plus the top word) is at least p, else v.
    static inline void Finish(Word* r, const Word* v, Word top, const Word* p)
    {
        Word d[N];
        Word borrow = 0;
        for (int j = 0; j < N; ++j) {
            const DWord x = static_cast<DWord>(v[j]) - p[j] - borrow;
            d[j] = static_cast<Word>(x);
            borrow = static_cast<Word>(x >> 64) & 1;
        }
        const Word keep = static_cast<Word>(0) - static_cast<Word>(borrow > top);   // all ones: v < p
        for (int j = 0; j < N; ++j)
            r[j] = (v[j] & keep) | (d[j] & ~keep);
    }

    // r = a * b / R mod p; r may alias a or b.
    void Mul(Word* r, const Word* a, const Word* b, Word*) const
    {
        Word m[N], out[N];
        Accumulator c;
#pragma GCC unroll 16
        for (int i = 0; i < N; ++i) {
#pragma GCC unroll 16
            for (int j = 0; j < i; ++j) {
                c.MulAdd(a[j], b[i - j]);
                c.MulAdd(m[j], p[i - j]);
            }
            c.MulAdd(a[i], b[0]);
            m[i] = c.c0 * pInv;
            c.MulAdd(m[i], p[0]);
            c.Shift();
        }
#pragma GCC unroll 16
        for (int i = N; i < 2 * N; ++i) {
#pragma GCC unroll 16
            for (int j = i - N + 1; j < N; ++j) {
                c.MulAdd(a[j], b[i - j]);
                c.MulAdd(m[j], p[i - j]);
            }
            out[i - N] = c.Shift();
        }
        Finish(r, out, c.c0, p);
    }

    // r = a * a / R mod p; the cross products are summed once and doubled.
    void Sqr(Word* r, const Word* a, Word*) const
    {
        Word m[N], out[N];
        Accumulator c;
#pragma GCC unroll 16
        for (int i = 0; i < N; ++i) {
            Accumulator t;
#pragma GCC unroll 16
            for (int j = 0; j < i - j; ++j)
                t.MulAdd(a[j], a[i - j]);
            c.AddDoubled(t);
            if (i % 2 == 0)
                c.MulAdd(a[i / 2], a[i / 2]);
#pragma GCC unroll 16
            for (int j = 0; j < i; ++j)
                c.MulAdd(m[j], p[i - j]);
            m[i] = c.c0 * pInv;
            c.MulAdd(m[i], p[0]);
            c.Shift();
        }
#pragma GCC unroll 16
        for (int i = N; i < 2 * N; ++i) {
            Accumulator t;
#pragma GCC unroll 16
            for (int j = i - N + 1; j < i - j; ++j)
                t.MulAdd(a[j], a[i - j]);
            c.AddDoubled(t);
            if (i % 2 == 0 && i / 2 < N)
                c.MulAdd(a[i / 2], a[i / 2]);
#pragma GCC unroll 16
            for (int j = i - N + 1; j < N; ++j)
                c.MulAdd(m[j], p[i - j]);
            out[i - N] = c.Shift();
        }
        Finish(r, out, c.c0, p);
    }
};

Word NegativeInverse(Word p0)
{
    Word inv = p0;                                      // correct to 3 bits for odd p0
    for (int i = 0; i < 6; ++i)
        inv *= 2 - p0 * inv;
    return ~inv + 1;
}

} // namespace

void CMyExponent5::Init(const LongInt2& p)
{
    if (!p.IsZero() && !p.IsOdd())
        throw XTOOBareText(kEvenModulus);
    const int real = p.GetRealSize();
    m_n = LongIntWords::WordsForBytes(real);
    m_p = CWordBuffer(m_n ? m_n : 1);
    LongIntWords::FromBytes(m_p.Data(), m_n, p.GetData(), real);
    m_isOne = real == 1 && p.GetData()[0] == 1;
    m_r2 = CWordBuffer(m_n ? m_n : 1);
    if (m_n == 0 || m_isOne)
        return;
    m_pInv = NegativeInverse(m_p[0]);
    CWordBuffer r2(2 * m_n + 1);
    r2[2 * m_n] = 1;
    LongIntWords::DivMod(nullptr, m_r2.Data(), r2.Data(), 2 * m_n + 1, m_p.Data(), m_n);
}

void CMyExponent5::CountOperations(const LongInt2& exponent, int w, int& multiplications, int& squarings)
{
    multiplications = w > 1 ? 1 << (w - 1) : 0;
    squarings = w > 1 ? 1 : 0;
    ScanWindows(exponent, w, [&] { ++squarings; }, [&](int) { ++multiplications; }, [](int) {});
}

int CMyExponent5::ChooseWindow(const LongInt2& exponent)
{
    int best = 1;
    long bestCost = -1;
    for (int w = 1; w <= MaxWindow; ++w) {
        int mul = 0, sqr = 0;
        CountOperations(exponent, w, mul, sqr);
        const long cost = static_cast<long>(mul * kMultiplicationWeight + sqr);
        if (bestCost < 0 || cost < bestCost) {
            bestCost = cost;
            best = w;
        }
    }
    return best;
}

CMyExponent5::~CMyExponent5()
{
    if (!m_lastExponent.empty())
        LongIntWords::Wipe(m_lastExponent.data(), m_lastExponent.size());
}

int CMyExponent5::WindowFor(const LongInt2& exponent) const
{
    const int real = exponent.GetRealSize();
    const uint8_t* bytes = exponent.GetData();
    if (m_lastWindow && static_cast<int>(m_lastExponent.size()) == real &&
        std::equal(bytes, bytes + real, m_lastExponent.begin()))
        return m_lastWindow;
    // The exponent may be private: no stale copy is left behind when the buffer moves.
    if (!m_lastExponent.empty())
        LongIntWords::Wipe(m_lastExponent.data(), m_lastExponent.size());
    m_lastExponent.assign(bytes, bytes + real);
    m_lastWindow = ChooseWindow(exponent);
    return m_lastWindow;
}

template <int N>
void CMyExponent5::PowerWords(Word* out, const Word* base, const LongInt2& exponent, int w) const
{
    const int n = m_n;
    using Kernel = std::conditional_t<N == 0, MontAny, MontFixed<N>>;
    const Kernel mont{m_p.Data(), m_pInv, n};
    const int entries = 1 << (w - 1);
    // One block for the table, the accumulator, base^2, the scratch and the constant 1.
    CWordBuffer work(entries * n + 3 * n + (2 * n + 2));
    Word* const table = work.Data();
    Word* const acc = table + entries * n;
    Word* const baseSquared = acc + n;
    Word* const one = baseSquared + n;
    Word* const scratch = one + n;
    // Odd powers base^1, base^3, ... in Montgomery form.
    mont.Mul(table, base, m_r2.Data(), scratch);
    if (w > 1) {
        mont.Sqr(baseSquared, table, scratch);
        for (int k = 1; k < entries; ++k)
            mont.Mul(table + k * n, table + (k - 1) * n, baseSquared, scratch);
    }
    ScanWindows(
        exponent, w, [&] { mont.Sqr(acc, acc, scratch); },
        [&](int k) { mont.Mul(acc, acc, table + k * n, scratch); },
        [&](int k) { std::memcpy(acc, table + k * n, sizeof(Word) * static_cast<size_t>(n)); });
    // Leave Montgomery form.
    one[0] = 1;
    mont.Mul(out, acc, one, scratch);
}

void CMyExponent5::Power(LongInt2& result, const LongInt2& base, const LongInt2& exponent) const
{
    if (m_n == 0)
        throw XTOOBareText(kDivByZero);
    if (m_isOne) {
        result.SetZero();
        return;
    }
    if (exponent.IsZero()) {
        result.SetSmall(1);
        return;
    }
    if (base.IsZero()) {
        result.SetZero();
        return;
    }
    const int n = m_n;
    // The base reduced below P.
    CWordBuffer b(n), out(n);
    {
        const int real = base.GetRealSize();
        const int bn = LongIntWords::WordsForBytes(real);
        CWordBuffer raw(bn > n ? bn : n);
        LongIntWords::FromBytes(raw.Data(), raw.Count(), base.GetData(), real);
        if (LongIntWords::Compare(raw.Data(), bn, m_p.Data(), n) >= 0)
            LongIntWords::DivMod(nullptr, b.Data(), raw.Data(), bn, m_p.Data(), n);
        else
            std::memcpy(b.Data(), raw.Data(), sizeof(Word) * static_cast<size_t>(n));
    }
    const int w = WindowFor(exponent);
    switch (n) {
    case 4: PowerWords<4>(out.Data(), b.Data(), exponent, w); break;
    case 8: PowerWords<8>(out.Data(), b.Data(), exponent, w); break;
    case 16: PowerWords<16>(out.Data(), b.Data(), exponent, w); break;
    default: PowerWords<0>(out.Data(), b.Data(), exponent, w); break;
    }
    // Through a LongInt2 so that a result too large for its capacity throws as operator=.
    LongInt2 value(8 * n);
    LongIntWords::ToBytes(value.GetData(), 8 * n, out.Data(), n);
    result = value;
}
