#pragma once
// CZelRegisterThread: sends an account's identity to the central server on its own thread.
// For an account without an id the run registers it (the server answers with the new id);
// for a registered account the run updates it (login under a fresh session key, then the
// account data sealed with that key). Result: the account id on success, -1 otherwise.
//
// The thread gets a copy of the account document whose `Root` keeps its attributes but none
// of its children: the lists are never sent. Neither the id nor the keys are written to the
// account file here; the caller saves them (the update writer stores the server's updates).

#include "accounts/CZelAccountWorker.h"
#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "protocol/CZelServerAddress.h"

#include <atomic>
#include <cstdint>
#include <memory>

class CZelRegisterThread : public CZelAccountWorker {
public:
    static constexpr char kEncrypting[] = "Encrypting request for e-mail account %1...";
    static constexpr char kSending[] = "Sending request...";
    static constexpr char kRegistered[] = "User with id = %1 is registered successfully.";
    static constexpr char kSendingUpdate[] = "Sending updating account request...";
    static constexpr char kNoResponse[] = "Error: no responce";
    static constexpr char kUpdated[] = "Account is updated successfully.";
    static constexpr char kErrorMessage[] = "Error: %1";

    enum class Mode { Register, Update };
    // Why a run may not start for an account file.
    enum class Refusal { None, Unreadable, NoKeys, Registered, NotRegistered };

    CZelRegisterThread(int64_t accountId, const CZelXmlDocument& account, CZelServerAddress server);
    ~CZelRegisterThread() override;

    // The page's start: loads the (just saved) account file and makes the thread, talking to
    // `server`, when the account has its keys and the mode fits its id. The thread is not
    // started.
    static Refusal Prepare(const CZelString& fileName, Mode mode, const CZelServerAddress& server,
                           std::unique_ptr<CZelRegisterThread>& thread);

    // The registration document: "Reg" with the identity attributes in their fixed order;
    // never the private exponent, the login, the password or the lists.
    static CZelXmlDocument RegistrationDocument(const CZelXmlDocument& account);

    int Run() override;
    // -1 until a registration run learnt the new id; the account's id for an update.
    int64_t AccountId() const { return m_accountId.load(); }

private:
    int64_t RunRegistration();
    int64_t RunUpdate();

    std::atomic<int64_t> m_accountId;
    CZelXmlDocument m_account;
    CZelServerAddress m_server;
};
