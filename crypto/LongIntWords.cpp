#include "crypto/LongIntWords.h"

#include "crypto/SecureWipe.h"

#include <cstring>
#include <new>
#include <vector>

using DWord = unsigned __int128;

CWordBuffer::CWordBuffer(int words)
{
    if (words > 0) {
        m_words = new Word[static_cast<size_t>(words)]();
        m_count = words;
    }
}

CWordBuffer::~CWordBuffer() { Free(); }

CWordBuffer::CWordBuffer(CWordBuffer&& other) noexcept : m_words(other.m_words), m_count(other.m_count)
{
    other.m_words = nullptr;
    other.m_count = 0;
}

CWordBuffer& CWordBuffer::operator=(CWordBuffer&& other) noexcept
{
    if (this != &other) {
        Free();
        m_words = other.m_words;
        m_count = other.m_count;
        other.m_words = nullptr;
        other.m_count = 0;
    }
    return *this;
}

void CWordBuffer::Free() noexcept
{
    if (m_words) {
        LongIntWords::Wipe(m_words, sizeof(Word) * static_cast<size_t>(m_count));
        delete[] m_words;
    }
    m_words = nullptr;
    m_count = 0;
}

int LongIntWords::Significant(const Word* a, int n) noexcept
{
    while (n > 0 && a[n - 1] == 0)
        --n;
    return n;
}

int LongIntWords::Compare(const Word* a, int an, const Word* b, int bn) noexcept
{
    an = Significant(a, an);
    bn = Significant(b, bn);
    if (an != bn)
        return an < bn ? -1 : 1;
    for (int i = an - 1; i >= 0; --i)
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    return 0;
}

Word LongIntWords::AddN(Word* r, const Word* a, const Word* b, int n) noexcept
{
    Word carry = 0;
    for (int i = 0; i < n; ++i) {
        DWord s = static_cast<DWord>(a[i]) + b[i] + carry;
        r[i] = static_cast<Word>(s);
        carry = static_cast<Word>(s >> 64);
    }
    return carry;
}

Word LongIntWords::SubN(Word* r, const Word* a, const Word* b, int n) noexcept
{
    Word borrow = 0;
    for (int i = 0; i < n; ++i) {
        Word ai = a[i], bi = b[i];
        Word d = ai - bi - borrow;
        borrow = (ai < bi) || (ai == bi && borrow) ? 1 : 0;
        r[i] = d;
    }
    return borrow;
}

Word LongIntWords::Add(Word* r, const Word* a, int an, const Word* b, int bn) noexcept
{
    Word carry = AddN(r, a, b, bn);
    for (int i = bn; i < an; ++i) {
        r[i] = a[i] + carry;
        carry = (carry && r[i] == 0) ? 1 : 0;
    }
    return carry;
}

Word LongIntWords::Sub(Word* r, const Word* a, int an, const Word* b, int bn) noexcept
{
    Word borrow = SubN(r, a, b, bn);
    for (int i = bn; i < an; ++i) {
        Word ai = a[i];
        r[i] = ai - borrow;
        borrow = (borrow && ai == 0) ? 1 : 0;
    }
    return borrow;
}

void LongIntWords::Mul(Word* r, const Word* a, int an, const Word* b, int bn) noexcept
{
    std::memset(r, 0, sizeof(Word) * static_cast<size_t>(an + bn));
    for (int i = 0; i < an; ++i) {
        const Word ai = a[i];
        if (ai == 0)
            continue;
        Word carry = 0;
        Word* ri = r + i;
        for (int j = 0; j < bn; ++j) {
            DWord t = static_cast<DWord>(ai) * b[j] + ri[j] + carry;
            ri[j] = static_cast<Word>(t);
            carry = static_cast<Word>(t >> 64);
        }
        ri[bn] = carry;
    }
}

void LongIntWords::Sqr(Word* r, const Word* a, int n) noexcept
{
    // Cross products once, doubled, then the squares on the diagonal.
    const int rn = 2 * n;
    std::memset(r, 0, sizeof(Word) * static_cast<size_t>(rn));
    for (int i = 0; i < n; ++i) {
        const Word ai = a[i];
        Word carry = 0;
        Word* ri = r + 2 * i + 1;
        for (int j = i + 1; j < n; ++j) {
            DWord t = static_cast<DWord>(ai) * a[j] + ri[j - i - 1] + carry;
            ri[j - i - 1] = static_cast<Word>(t);
            carry = static_cast<Word>(t >> 64);
        }
        r[i + n] = carry;
    }
    Word top = 0;
    for (int i = 0; i < rn; ++i) {
        Word v = r[i];
        r[i] = (v << 1) | top;
        top = v >> 63;
    }
    Word carry = 0;
    for (int i = 0; i < n; ++i) {
        DWord sq = static_cast<DWord>(a[i]) * a[i];
        DWord lo = static_cast<DWord>(r[2 * i]) + static_cast<Word>(sq) + carry;
        r[2 * i] = static_cast<Word>(lo);
        DWord hi = static_cast<DWord>(r[2 * i + 1]) + static_cast<Word>(sq >> 64) + static_cast<Word>(lo >> 64);
        r[2 * i + 1] = static_cast<Word>(hi);
        carry = static_cast<Word>(hi >> 64);
    }
}

void LongIntWords::DivMod(Word* q, Word* r, const Word* a, int an, const Word* d, int dn)
{
    if (dn == 1) {
        // Short division by one word.
        const Word dv = d[0];
        Word rem = 0;
        for (int i = an - 1; i >= 0; --i) {
            DWord cur = (static_cast<DWord>(rem) << 64) | a[i];
            Word qi = static_cast<Word>(cur / dv);
            rem = static_cast<Word>(cur % dv);
            if (q)
                q[i] = qi;
        }
        if (r)
            r[0] = rem;
        return;
    }
    // Knuth's algorithm D on normalised copies.
    const int shift = __builtin_clzll(d[dn - 1]);
    CWordBuffer un(an + 1), vn(dn);
    for (int i = dn - 1; i > 0; --i)
        vn[i] = shift ? (d[i] << shift) | (d[i - 1] >> (64 - shift)) : d[i];
    vn[0] = d[0] << shift;
    un[an] = shift ? a[an - 1] >> (64 - shift) : 0;
    for (int i = an - 1; i > 0; --i)
        un[i] = shift ? (a[i] << shift) | (a[i - 1] >> (64 - shift)) : a[i];
    un[0] = a[0] << shift;

    const Word vTop = vn[dn - 1], vNext = vn[dn - 2];
    for (int j = an - dn; j >= 0; --j) {
        DWord num = (static_cast<DWord>(un[j + dn]) << 64) | un[j + dn - 1];
        DWord qhat = num / vTop;
        DWord rhat = num % vTop;
        while (qhat >> 64 || qhat * vNext > ((rhat << 64) | un[j + dn - 2])) {
            --qhat;
            rhat += vTop;
            if (rhat >> 64)
                break;
        }
        // Multiply and subtract.
        Word borrow = 0, carry = 0;
        for (int i = 0; i < dn; ++i) {
            DWord p = qhat * vn[i] + carry;
            carry = static_cast<Word>(p >> 64);
            Word pl = static_cast<Word>(p);
            Word ui = un[i + j];
            Word t = ui - pl - borrow;
            borrow = (ui < pl) || (ui == pl && borrow) ? 1 : 0;
            un[i + j] = t;
        }
        Word ui = un[j + dn];
        Word t = ui - carry - borrow;
        bool negative = (ui < carry) || (ui == carry && borrow);
        un[j + dn] = t;
        Word qj = static_cast<Word>(qhat);
        if (negative) {
            // The estimate was one too large: add the divisor back.
            --qj;
            Word c = 0;
            for (int i = 0; i < dn; ++i) {
                DWord s = static_cast<DWord>(un[i + j]) + vn[i] + c;
                un[i + j] = static_cast<Word>(s);
                c = static_cast<Word>(s >> 64);
            }
            un[j + dn] += c;
        }
        if (q)
            q[j] = qj;
    }
    if (r) {
        for (int i = 0; i < dn; ++i)
            r[i] = shift ? (un[i] >> shift) | (un[i + 1] << (64 - shift)) : un[i];
    }
}

void LongIntWords::FromBytes(Word* w, int wn, const uint8_t* bytes, int nbytes) noexcept
{
    std::memset(w, 0, sizeof(Word) * static_cast<size_t>(wn));
    const int n = nbytes < wn * 8 ? nbytes : wn * 8;
    for (int i = 0; i < n; ++i)
        w[i / 8] |= static_cast<Word>(bytes[i]) << (8 * (i % 8));
}

void LongIntWords::ToBytes(uint8_t* bytes, int nbytes, const Word* w, int wn) noexcept
{
    for (int i = 0; i < nbytes; ++i)
        bytes[i] = i / 8 < wn ? static_cast<uint8_t>(w[i / 8] >> (8 * (i % 8))) : 0;
}

void LongIntWords::Wipe(void* p, size_t n) noexcept
{
    SecureWipe(p, n);
}
