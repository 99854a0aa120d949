#pragma once
// CZelKeysGenThread: makes a new account's RSA key pair (a 1024-bit modulus) on its own thread,
// reporting each round of the prime search and each try of the exponent in its status text.
// Result: -1 while running, 1 keys made, 0 failed.

#include "accounts/CZelAccountWorker.h"
#include "crypto/LongInt2.h"
#include "foundation/CZelString.h"

class CZelKeysGenThread : public CZelAccountWorker {
public:
    static constexpr int kKeySize = 128;
    static constexpr char kStagePrimeP[] = "Generating prime p:";
    static constexpr char kStagePrimeQ[] = "Generating prime q:";
    static constexpr char kProgress[] = "%1 pass=%2, %3%%";
    static constexpr char kExponentTry[] = "Generating e: pass %1.%2";
    static constexpr char kGenerated[] = "RSA keys are generated succsessfully";
    static constexpr char kExponentFailed[] = "Generation of e failed %1 times.";

    explicit CZelKeysGenThread(int keySize = kKeySize);
    ~CZelKeysGenThread() override;

    int Run() override;

    // The key parts as the account file keeps them: exactly the key size in bytes, least
    // significant byte first. Meaningful once the result is 1.
    CZelString N() const;
    CZelString D() const;
    CZelString E() const;

private:
    class Progress;
    friend class Progress;

    int m_keySize;
    LongInt2 m_n;
    LongInt2 m_d;
    LongInt2 m_e;
};
