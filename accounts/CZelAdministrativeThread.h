#pragma once
// CZelAdministrativeThread: one administrative request on its own thread, so the messages page
// (or the `velmo report` / `velmo admin` commands) stays responsive: an abuse report on a
// received message, or an administrator's authorization or restriction of its sender. The run
// proves the account's identity (ReqTimestamp login handing over a fresh session key under
// number 6), then sends the AdminReq document sealed with that key and reads the answer's
// verdict. Its status text shows the progress; the result is 1 on success, -1 otherwise.
//
// Only one administrative thread exists at a time: AdministrativeSlot() holds it from its
// start until its owner takes the ended thread out. A report that succeeded is recorded in the
// message history by that owner, not here.

#include "accounts/CZelAccountWorker.h"
#include "accounts/CZelRegisterThread.h"
#include "accounts/CZelWorkerSlot.h"
#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "protocol/CZelServerAddress.h"
#include "net/CZelTcpFile.h"
#include "protocol/CZelServerRun.h"
#include "protocol/ZelSealing.h"

#include <cstdint>
#include <memory>

class CZelAdministrativeThread : public CZelAccountWorker {
public:
    // Status texts, each taken through the translation table when shown. "error: %1" and
    // "unknown error" are every worker's own.
    static constexpr auto& kRequestingServerKeys = CZelServerRun::kRequestingServerKeys;
    static constexpr auto& kServerKeysReceived = CZelServerRun::kServerKeysReceived;
    static constexpr char kServerResponseError[] = "Server responce error";
    static constexpr char kRsaEncryptError[] = "RSAEncrypt() error";
    static constexpr char kSettingSessionKey[] = "Setting session key";
    static constexpr char kSettingSessionKeyError[] = "Setting session key error";
    static constexpr char kSending[] = "Sending administrate request...";
    static constexpr auto& kNoResponse = CZelRegisterThread::kNoResponse;
    static constexpr char kSuccess[] = "Success";
    static constexpr char kSomeRefused[] = "%1 positive and %2 negative responses, first error messsage: %3";
    static constexpr char kIncorrectParameters[] = "Incorrect parameters";

    // The request kinds, numbered as the page's menu entries map to them.
    enum class EKind : int { Authorize = 1, Restrict = 2, ReportSpam = 3, ReportVirus = 4 };
    // Why a request is not offered.
    enum class ERefusal { None, Busy, AccountUnreadable, NotAdministrator };

    // "Authorize", "Restrict", "AbuseReportSpam", "AbuseReportVirus"; null for any other kind.
    static const char* CommandOf(EKind kind);
    static bool NeedsAdministrator(EKind kind);
    static bool IsReport(EKind kind);

    // The check behind the page's menu: no administrative thread in the slot, the account file
    // "%08D.xml" loads, and for an authorization or restriction its `UserLevel` is
    // "Administrator".
    static ERefusal CheckRefusal(int64_t accountId, EKind kind);
    static bool Check(int64_t accountId, EKind kind) { return CheckRefusal(accountId, kind) == ERefusal::None; }
    // The same check, then a new thread for it (not started); null with the refusal otherwise.
    static std::unique_ptr<CZelAdministrativeThread> Prepare(int64_t accountId, int64_t row, EKind kind,
                                                             const CZelString& parameter,
                                                             const CZelServerAddress& server,
                                                             ERefusal* refusal = nullptr);
    // The page's start: Prepare, then the thread in the slot and running. False when it was
    // refused or could not start (nothing is left in the slot then).
    static bool Start(int64_t accountId, int64_t row, EKind kind, const CZelString& parameter,
                      const CZelServerAddress& server);
    // The thread's own start, which the one above would hide.
    using CZelThread::Start;

    // The AdminReq document: one `Command` with the command and its parameter (`email` for
    // the user commands, `MessageId` for the reports). False for an empty parameter or an
    // unknown kind.
    static bool MakeRequestDocument(EKind kind, const CZelString& parameter, CZelXmlDocument& document);

    // The verdict of an answer: each `Command` of the root with `Status` "OK" is positive, any
    // other negative, the first negative one naming the error (else the root's
    // `ErrorMessage`). Without any `Command` the root's `Status` decides.
    struct CVerdict {
        bool succeeded = false;
        int positive = 0;
        int negative = 0;
        CZelString errorMessage;
    };
    static CVerdict ReadAnswer(const CZelXmlDocument& answer);

    // `parameter` is the sender's address for kinds 1 and 2, the message id for kinds 3 and 4.
    // `row` is the owner's reference to the message's row, kept for it and never used here.
    CZelAdministrativeThread(int64_t accountId, int64_t row, EKind kind, const CZelString& parameter,
                             CZelServerAddress server);
    ~CZelAdministrativeThread() override;

    int Run() override;

    int64_t AccountId() const { return m_accountId; }
    int64_t Row() const { return m_row; }
    EKind Kind() const { return m_kind; }
    const CZelString& Email() const { return m_email; }
    const CZelString& MessageId() const { return m_messageId; }
    // The session key's number: the one every account run hands over.
    static constexpr uint32_t KeyNumber() { return kKeyNumAccountRun; }

private:
    // Every request waits at most this long for its answer.
    static constexpr int kRequestTimeoutMs = 60000;

    // One run's session key and its kept-alive connection to the server.
    struct CRun {
        CRun() : key(MakeSessionKey()), connection(true) {}
        CZelString key;
        CZelTcpFile connection;
    };

    int64_t RunRequest();
    // Posts one record over the run's connection and returns the answer body ("" for none).
    // A stop signalled before or during the post ends the run.
    CZelString Post(CRun& run, uint32_t type, const CZelString& payload);
    void StopPoint() const;
    // The server key request; its answer only decides the status text.
    void RequestServerKey(CRun& run);
    // The ReqTimestamp login handing over the run's key; false (status set) without an answer.
    bool HandOverSessionKey(CRun& run, const CZelXmlDocument& account);
    int64_t SendRequest(CRun& run, const CZelXmlDocument& request);

    int64_t m_accountId;
    int64_t m_row;
    EKind m_kind;
    CZelString m_email;
    CZelString m_messageId;
    CZelServerAddress m_server;
};

CZelWorkerSlot<CZelAdministrativeThread>& AdministrativeSlot();
