#include "crypto/GenPrime.h"

#include "crypto/CMyExponent5.h"
#include "crypto/LongIntWords.h"
#include "foundation/XTOOError.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr const char kGenRndTooLong[] = "GenRnd(): R > p.GetSize()";
constexpr const char kGenPrimeTooLong[] = "GenPrime(): R > p.GetSize()";
constexpr const char kNoRandomData[] = "GenPrime(): no random data";
// A base of zero is drawn again; this many zeros in a row can only mean a dead source.
constexpr int kMaxZeroDraws = 1000;

// A random value in [1, p), drawn as Size(p) bytes and reduced.
void DrawBase(LongInt2& x, const LongInt2& p, CCryptRandom& random)
{
    for (int attempt = 0; attempt < kMaxZeroDraws; ++attempt) {
        GenRnd(x, 0, random);
        x.CalcRest(x, p);
        if (!x.IsZero())
            return;
    }
    throw XTOOBareText(kNoRandomData);
}

// Odd primes below this are tried as divisors before any exponentiation.
constexpr uint32_t kSieveLimit = 1024;

// The small primes, grouped so that each group's product fits one 64-bit word: one pass of
// word division per group gives the candidate's residues for all primes of the group.
struct SmallPrimeGroup {
    uint64_t product;
    std::vector<uint32_t> primes;
};

std::vector<SmallPrimeGroup> MakeSmallPrimeGroups()
{
    std::vector<SmallPrimeGroup> groups;
    SmallPrimeGroup current{1, {}};
    for (uint32_t q = 3; q < kSieveLimit; q += 2) {
        bool prime = true;
        for (uint32_t f = 3; f * f <= q; f += 2)
            if (q % f == 0) {
                prime = false;
                break;
            }
        if (!prime)
            continue;
        if (current.product > UINT64_MAX / q) {
            groups.push_back(current);
            current = SmallPrimeGroup{1, {}};
        }
        current.product *= q;
        current.primes.push_back(q);
    }
    if (!current.primes.empty())
        groups.push_back(current);
    return groups;
}

// True when a small prime other than p itself divides p.
bool HasSmallFactor(const LongInt2& p)
{
    static const std::vector<SmallPrimeGroup> groups = MakeSmallPrimeGroups();
    const int real = p.GetRealSize();
    const int n = LongIntWords::WordsForBytes(real);
    if (n == 0)
        return false;
    CWordBuffer words(n);
    LongIntWords::FromBytes(words.Data(), n, p.GetData(), real);
    const bool small = n == 1 && words[0] < kSieveLimit;
    for (const SmallPrimeGroup& group : groups) {
        Word residue = 0;
        LongIntWords::DivMod(nullptr, &residue, words.Data(), n, &group.product, 1);
        for (uint32_t q : group.primes)
            if (residue % q == 0 && !(small && words[0] == q))
                return true;
    }
    return false;
}

// Rounds whose bases are drawn and raised together.
constexpr int kBatch = 64;

// bases[i] := bases[i]^h mod p for i < count; the odd ones on a helper thread when the
// machine has a second core.
void PowerBatch(std::vector<LongInt2>& bases, int count, const LongInt2& p, const LongInt2& h, CMyExponent5& power)
{
    static const bool parallel = std::thread::hardware_concurrency() > 1;
    auto raise = [&](CMyExponent5& with, int first) {
        for (int i = first; i < count; i += 2)
            with.Power(bases[static_cast<size_t>(i)], bases[static_cast<size_t>(i)], h);
    };
    std::thread helper;
    std::exception_ptr helperFailure;
    if (parallel && count > 1) {
        try {
            helper = std::thread([&] {
                try {
                    CMyExponent5 own;
                    own.Init(p);
                    raise(own, 1);
                } catch (...) {
                    helperFailure = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            // No thread to be had: all on this one.
        }
    }
    try {
        if (helper.joinable())
            raise(power, 0);
        else
            for (int i = 0; i < count; ++i)
                power.Power(bases[static_cast<size_t>(i)], bases[static_cast<size_t>(i)], h);
    } catch (...) {
        if (helper.joinable())
            helper.join();
        throw;
    }
    if (helper.joinable())
        helper.join();
    if (helperFailure)
        std::rethrow_exception(helperFailure);
}

} // namespace

bool GenRnd(LongInt2& x, int r, CCryptRandom& random)
{
    if (r > x.GetSize() || r < 0)
        throw XTOOBareText(kGenRndTooLong);
    if (r == 0)
        r = x.GetSize();
    x.SetZero();
    return random.Fill(x.GetData(), static_cast<size_t>(r));
}

int IsProbablePrime(const LongInt2& p, int candidate, PrimeProgress progress, void* context, CCryptRandom& random)
{
    if (!p.IsOdd() || (p.GetRealSize() == 1 && p.GetData()[0] == 1))
        return 0;
    const int size = p.GetSize();
    LongInt2 one(1), pMinus1(size), h(size);
    one.SetSmall(1);
    pMinus1 = p;
    pMinus1 -= one;
    h = pMinus1;
    h >>= 1;
    CMyExponent5 power;
    power.Init(p);

    const int rounds = 8 * size + 5;
    const int total = (8 * size) | 4;
    int minusOnes = 0;
    // Checks one round's x^h in round order; 1 to go on, else the test's answer.
    auto judge = [&](const LongInt2& x, int round) {
        if (progress && !progress(candidate, round, total, context))
            return -1;
        const bool isOne = x.GetRealSize() == 1 && x.GetData()[0] == 1;
        if (x == pMinus1) {
            ++minusOnes;
            return 1;
        }
        return isOne ? 1 : 0;
    };

    // The first round alone: almost every composite ends here.
    std::vector<LongInt2> bases;
    bases.reserve(kBatch);
    for (int i = 0; i < kBatch; ++i)
        bases.emplace_back(size);
    DrawBase(bases[0], p, random);
    power.Power(bases[0], bases[0], h);
    int verdict = judge(bases[0], 0);
    // The other rounds in batches: bases drawn in round order, powers shared between cores,
    // results judged in round order.
    for (int start = 1; verdict == 1 && start < rounds; start += kBatch) {
        const int count = std::min(kBatch, rounds - start);
        for (int i = 0; i < count; ++i)
            DrawBase(bases[static_cast<size_t>(i)], p, random);
        PowerBatch(bases, count, p, h, power);
        for (int i = 0; i < count && verdict == 1; ++i)
            verdict = judge(bases[static_cast<size_t>(i)], start + i);
    }
    if (verdict != 1)
        return verdict;
    return minusOnes > 0 ? 1 : 0;
}

int GenPrime(LongInt2& p, int r, PrimeProgress progress, void* context, CCryptRandom& random)
{
    if (r > p.GetSize() || r < 0)
        throw XTOOBareText(kGenPrimeTooLong);
    if (r == 0)
        r = p.GetSize();
    if (r == 0)
        throw XTOOBareText(kGenPrimeTooLong);
    for (int candidate = 1;; ++candidate) {
        if (!GenRnd(p, r, random))
            throw XTOOBareText(kNoRandomData);
        p.GetData()[0] |= 0x01;
        p.GetData()[r - 1] |= 0x80;
        if (HasSmallFactor(p)) {
            // Composite at once; the first round's report still marks the candidate.
            if (progress && !progress(candidate, 0, (8 * p.GetSize()) | 4, context))
                return -1;
            continue;
        }
        const int verdict = IsProbablePrime(p, candidate, progress, context, random);
        if (verdict != 0)
            return verdict;
    }
}
