#pragma once
// CMyExponent5: modular exponentiation for one odd modulus P by Montgomery multiplication
// with a sliding window. The window width is chosen per exponent by a cost rule that weighs
// a multiplication at 1.07781562 squarings, counting the precomputation. One object serves
// one thread (it remembers the last exponent's window choice).

#include "crypto/LongInt2.h"
#include "crypto/LongIntWords.h"

#include <vector>

class CMyExponent5 {
public:
    static constexpr int MaxWindow = 7;

    CMyExponent5() = default;
    ~CMyExponent5();                                    // wipes the remembered exponent
    CMyExponent5(const CMyExponent5&) = delete;
    CMyExponent5& operator=(const CMyExponent5&) = delete;
    // Throws "CMyExponent5::Init() error: even number P" for an even non-zero P. A zero P is
    // kept and refused by Power.
    void Init(const LongInt2& p);

    // result = base^exponent mod P. Throws "div by 0" for P = 0; P = 1 gives 0, exponent 0
    // gives 1, base 0 gives 0. The result must fit result's capacity (as operator=).
    void Power(LongInt2& result, const LongInt2& base, const LongInt2& exponent) const;

    // The window width (1..7) of the least cost for this exponent; ties go to the narrower.
    static int ChooseWindow(const LongInt2& exponent);
    // Multiplications and squarings one Power spends with width w on this exponent
    // (precomputation included).
    static void CountOperations(const LongInt2& exponent, int w, int& multiplications, int& squarings);

private:
    template <int N> void PowerWords(Word* out, const Word* base, const LongInt2& exponent, int w) const;
    int WindowFor(const LongInt2& exponent) const;

    CWordBuffer m_p;                                    // the modulus, m_n words
    CWordBuffer m_r2;                                   // R^2 mod P, R = 2^(64 m_n)
    Word m_pInv = 0;                                    // -P^-1 mod 2^64
    int m_n = 0;
    bool m_isOne = false;
    // Many powers share one exponent (the rounds of a primality test, the blocks of a message).
    mutable std::vector<uint8_t> m_lastExponent;
    mutable int m_lastWindow = 0;
};
