#include "crypto/RsaKeyPair.h"

namespace {

struct PrimeReport {
    CRsaKeyGenProgress* progress;
    int prime;
};

bool ReportRound(int candidate, int round, int totalRounds, void* context)
{
    auto* report = static_cast<PrimeReport*>(context);
    return report->progress->OnPrimeRound(report->prime, candidate, round, totalRounds);
}

int MakePrime(LongInt2& p, int prime, CRsaKeyGenProgress* progress, CCryptRandom& random)
{
    if (progress)
        progress->OnPrimeStart(prime);
    PrimeReport report{progress, prime};
    return GenPrime(p, 0, progress ? ReportRound : nullptr, &report, random);
}

} // namespace

int RsaKeyPair::Generate(int s, LongInt2& n, LongInt2& d, LongInt2& e, CRsaKeyGenProgress* progress,
                         CCryptRandom& random)
{
    const int half = s / 2;
    LongInt2 p(half), q(half);
    if (MakePrime(p, 0, progress, random) < 0 || MakePrime(q, 1, progress, random) < 0)
        return -1;

    LongInt2 one(1), pMinus1(half), qMinus1(half), modulus(s), phi(s);
    one.SetSmall(1);
    modulus.Mul(p, q);
    pMinus1 = p;
    pMinus1 -= one;
    qMinus1 = q;
    qMinus1 -= one;
    phi.Mul(pMinus1, qMinus1);

    // e is random and just below phi in length, never a small constant.
    const int eBytes = phi.GetRealSize() - 1;
    LongInt2 exponent(s), inverse(s);
    for (int pass = 1; pass <= Passes; ++pass) {
        for (int attempt = 1; attempt <= TriesPerPass; ++attempt) {
            if (progress)
                progress->OnExponentTry(pass, attempt);
            GenRnd(exponent, eBytes, random);
            if (exponent.IsZero())
                continue;
            if (inverse.InvMod(exponent, phi) == 0) {
                n = modulus;
                d = inverse;
                e = exponent;
                return 1;
            }
        }
        if (progress)
            progress->OnPassFailed(pass, TriesPerPass);
    }
    return 0;
}
