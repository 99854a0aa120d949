#pragma once
// LongIntWords: the arithmetic kernel under LongInt2 and CMyExponent5. Numbers are arrays of
// 64-bit words, least significant first; products use unsigned __int128. Callers size every
// output; nothing here allocates except CWordBuffer.

#include <cstddef>
#include <cstdint>

using Word = uint64_t;

// An owned word array that is wiped before it is freed: temporaries often hold key material.
class CWordBuffer {
public:
    CWordBuffer() = default;
    explicit CWordBuffer(int words);                    // zero-filled
    ~CWordBuffer();
    CWordBuffer(CWordBuffer&& other) noexcept;
    CWordBuffer& operator=(CWordBuffer&& other) noexcept;
    CWordBuffer(const CWordBuffer&) = delete;
    CWordBuffer& operator=(const CWordBuffer&) = delete;

    Word* Data() noexcept { return m_words; }
    const Word* Data() const noexcept { return m_words; }
    int Count() const noexcept { return m_count; }
    Word& operator[](int i) noexcept { return m_words[i]; }
    Word operator[](int i) const noexcept { return m_words[i]; }

private:
    void Free() noexcept;
    Word* m_words = nullptr;
    int m_count = 0;
};

struct LongIntWords {
    // Significant word count (0 for zero).
    static int Significant(const Word* a, int n) noexcept;
    // -1, 0, 1 for a <, =, > b; either may carry leading zero words.
    static int Compare(const Word* a, int an, const Word* b, int bn) noexcept;

    // r = a + b over n words; returns the carry. r may alias a or b.
    static Word AddN(Word* r, const Word* a, const Word* b, int n) noexcept;
    // r = a - b over n words; returns the borrow. r may alias a or b.
    static Word SubN(Word* r, const Word* a, const Word* b, int n) noexcept;
    // r (an words) = a (an words) + b (bn <= an words); returns the carry.
    static Word Add(Word* r, const Word* a, int an, const Word* b, int bn) noexcept;
    // r (an words) = a (an words) - b (bn <= an words); returns the borrow.
    static Word Sub(Word* r, const Word* a, int an, const Word* b, int bn) noexcept;

    // r (an + bn words, not aliasing a or b) = a * b.
    static void Mul(Word* r, const Word* a, int an, const Word* b, int bn) noexcept;
    // r (2n words, not aliasing a) = a * a.
    static void Sqr(Word* r, const Word* a, int n) noexcept;

    // q (an - dn + 1 words) = a / d, r (dn words) = a mod d; d[dn - 1] != 0, an >= dn.
    // Either output may be null when not wanted.
    static void DivMod(Word* q, Word* r, const Word* a, int an, const Word* d, int dn);

    // Bytes (least significant first) <-> words; missing bytes read as zero, extra bytes of
    // the words are dropped when writing.
    static void FromBytes(Word* w, int wn, const uint8_t* bytes, int nbytes) noexcept;
    static void ToBytes(uint8_t* bytes, int nbytes, const Word* w, int wn) noexcept;
    static int WordsForBytes(int nbytes) noexcept { return (nbytes + 7) / 8; }

    // Zeroes memory in a way the optimiser may not drop.
    static void Wipe(void* p, size_t n) noexcept;
};
