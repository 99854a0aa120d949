#pragma once
// CZelContactListModifyThread: sends one or two list commands for an account to the central
// server on its own thread (login under a fresh key number 5 session key, then the command
// document sealed with it). The local lists change only when the server's updates are merged.
// Result: 1 when every command was accepted, -1 otherwise.

#include "accounts/CZelAccountWorker.h"
#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "protocol/CZelServerAddress.h"

#include <cstdint>

class CZelContactListModifyThread : public CZelAccountWorker {
public:
    static constexpr char kSending[] = "Sending contact list modify request...";
    static constexpr char kCompleted[] = "Request is completed";
    static constexpr char kAccountUnreadable[] = "point 1(ret)\n";

    // The command documents of the page's list menu entries.
    static CZelXmlDocument AddToContactList(const CZelString& email, const CZelString& secureCode);
    static CZelXmlDocument AddToBlackList(const CZelString& email);
    static CZelXmlDocument RemoveFromContactList(const CZelString& email);
    static CZelXmlDocument MoveToBlackList(const CZelString& email);
    static CZelXmlDocument RemoveFromBlackList(const CZelString& email);
    static CZelXmlDocument MoveToContactList(const CZelString& email, const CZelString& secureCode);

    // An empty command document, and one more command in it ("+cl" always carries the code,
    // the other actions never do). Each command renews the document's `TimeStamp`.
    static CZelXmlDocument NewCommandDocument();
    static void AddCommand(CZelXmlDocument& document, const char* action, const CZelString& email,
                           const CZelString& secureCode = CZelString());

    CZelContactListModifyThread(int64_t accountId, const CZelXmlDocument& commands, CZelServerAddress server);
    ~CZelContactListModifyThread() override;

    int Run() override;
    int64_t AccountId() const { return m_accountId; }

private:
    int64_t RunCommands();

    int64_t m_accountId;
    CZelXmlDocument m_commands;
    CZelServerAddress m_server;
};
