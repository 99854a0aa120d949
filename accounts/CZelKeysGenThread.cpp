#include "accounts/CZelKeysGenThread.h"

#include "core/CTranslations.h"
#include "crypto/RsaKeyPair.h"
#include "foundation/CZelFormat.h"

namespace {
constexpr char kThisFile[] = "CZelKeysGenThread.cpp";

CZelString Bytes(const LongInt2& value)
{
    return CZelString(reinterpret_cast<const char*>(value.GetData()), value.GetSize());
}
} // namespace

class CZelKeysGenThread::Progress : public CRsaKeyGenProgress {
public:
    explicit Progress(CZelKeysGenThread& owner) : m_owner(owner) {}

    void OnPrimeStart(int prime) override
    {
        m_stage = prime == 0 ? kStagePrimeP : kStagePrimeQ;
        m_owner.SetStatus(m_stage);
    }
    bool OnPrimeRound(int prime, int candidate, int round, int totalRounds) override
    {
        const double percent = totalRounds > 0 ? round * 100.0 / totalRounds : 0.0;
        m_owner.SetStatus(FormatTr("%s%d%.1f", Translate(kProgress, kThisFile), m_stage, candidate, percent));
        return !m_owner.IsStopSignalled();
    }
    void OnExponentTry(int pass, int attempt) override
    {
        m_owner.SetStatus(FormatTr("%d%d", Translate(kExponentTry, kThisFile), pass, attempt));
    }
    void OnPassFailed(int pass, int failures) override
    {
        m_owner.SetStatus(FormatTr("%d", Translate(kExponentFailed, kThisFile), failures));
    }

private:
    CZelKeysGenThread& m_owner;
    const char* m_stage = kStagePrimeP;
};

CZelKeysGenThread::CZelKeysGenThread(int keySize)
    : m_keySize(keySize), m_n(keySize), m_d(keySize), m_e(keySize)
{
}

CZelKeysGenThread::~CZelKeysGenThread()
{
    EndRun();
}

int CZelKeysGenThread::Run()
{
    SetResult(-1);
    try {
        Progress progress(*this);
        if (RsaKeyPair::Generate(m_keySize, m_n, m_d, m_e, &progress) == 1) {
            SetStatusTr(kGenerated, kThisFile);
            SetResult(1);
            return 1;
        }
    } catch (...) {
        // A failed run shows its last progress text; the result says it failed.
    }
    SetResult(0);
    return 0;
}

CZelString CZelKeysGenThread::N() const { return Bytes(m_n); }
CZelString CZelKeysGenThread::D() const { return Bytes(m_d); }
CZelString CZelKeysGenThread::E() const { return Bytes(m_e); }
