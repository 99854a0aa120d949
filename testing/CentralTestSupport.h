#pragma once
// What the central server tests share: users with their own RSA keys, and the client side of
// each request built from the protocol library's pieces (the same records, sealing and login
// code the gateway uses).

#include "crypto/CCryptRandom.h"
#include "crypto/LongInt2.h"
#include "crypto/RsaBlockTransform.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/testing/ChildProcess.h"
#include "foundation/testing/TempDir.h"
#include "net/CZelTcpFile.h"
#include "net/ZelSockets.h"
#include "protocol/CZelHttpClient.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "protocol/ZelServerRequests.h"
#include "server/CCentralCommand.h"
#include "testing/TestKeys.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace centraltest {

using velmo_testing::TempDir;
using KeyPair = velmo_testing::TestKeyPair;

// A request type no server knows, for the requests that must get no answer.
inline constexpr uint32_t kUnknownRequestType = 99;

inline const KeyPair& UserKeys(int index)
{
    return velmo_testing::TestKeys(index);
}

inline CZelXmlDocument Parsed(const CZelString& text)
{
    CZelXmlDocument document;
    EXPECT_TRUE(document.Parse(text)) << text.ToStd();
    return document;
}

// One user as the gateway's account file knows it.
struct User {
    User(std::string address, std::string code, int keys)
        : email(std::move(address)), secureCode(std::move(code)), keyIndex(keys) {}

    std::string email;
    std::string secureCode;
    int keyIndex = 0;
    int64_t id = -1;
    CZelString sessionKey;   // the key last handed over under kKeyNumAccountRun

    const KeyPair& Keys() const { return UserKeys(keyIndex); }
    CZelAccountKey AccountKey() const { return {Format("%D", id), Keys().n, Keys().d}; }
};

// The users of the tests, the same everywhere: each with a key pair of his own and a code as
// the accounts page takes it. Test key pairs from 3 up are free for the others a test needs.
inline User Alice() { return User("alice@example.org", "AAAA1111BBBB2222", 0); }
inline User Bob() { return User("bob@example.org", "CCCC3333DDDD4444", 1); }
inline User Carol() { return User("carol@example.org", "EEEE5555FFFF6666", 2); }

inline CZelXmlDocument RegistrationDocument(const User& user, const std::string& name = "Test User")
{
    CZelXmlDocument document;
    document.Create("Reg", "Root");
    CZelXmlNode root = document.RootElement();
    root.SetAttr("Name", name.c_str());
    root.SetAttr("TranslitName", name.c_str());
    root.SetAttr("UnicodeName", CZelString("T\0e\0", 4));
    root.SetAttr("Birthday", "1990-01-01");
    root.SetAttr("IssuedBy", "somewhere");
    root.SetAttr("n", user.Keys().n);
    root.SetAttr("e", user.Keys().e);
    root.SetAttr("email", user.email.c_str());
    root.SetAttr("SecureCode", user.secureCode.c_str());
    root.SetAttr("AutoReply", "Call me");
    root.SetAttr("AutoReplyEng", "Call me first");
    return document;
}

// The client of a server at 127.0.0.1:port, one kept-alive connection.
class Client {
public:
    explicit Client(int port)
        : m_server{CZelString(("127.0.0.1:" + std::to_string(port)).c_str()), "/cgi-bin/velmo.cgi"}, m_connection(true)
    {
    }

    const CZelServerAddress& Server() const { return m_server; }
    CZelTcpFile& Connection() { return m_connection; }
    CZelString Post(const CZelString& body) { return HttpPost(body, m_server, m_connection, kHttpWriteTimeoutMs); }

    CZelServerKey ServerKey() { return RequestServerKey(m_server, m_connection, kHttpWriteTimeoutMs); }

    // The registration run: the document under the server's public key, type 2. The plain
    // 65538 answer, or nullopt when none came.
    std::optional<CZelXmlDocument> Register(const CZelXmlDocument& document)
    {
        const CZelServerKey key = ServerKey();
        EXPECT_TRUE(key.IsComplete());
        const CZelString text = document.ToRequestText();
        const LongInt2 n(key.n.Ptr(), key.n.Length());
        const LongInt2 e(key.e.Ptr(), key.e.Length());
        CZelString blocks;
        EXPECT_GT(RsaBlockTransform::Apply(n, e, text.Ptr(), text.Length(), static_cast<uint32_t>(std::time(nullptr)),
                                           blocks),
                  0);
        for (const CZelRecord& record : SplitRecords(Post(Frame(kRequestRegister, blocks))))
            if (record.type == AnswerType(kRequestRegister))
                return Parsed(record.payload);
        return std::nullopt;
    }

    // Registers the user and keeps the id it got.
    bool Register(User& user)
    {
        const auto answer = Register(RegistrationDocument(user));
        if (!answer || answer->RootElement().GetAttr("Status") != "Success")
            return false;
        user.id = std::stoll(answer->RootElement().GetAttr("Id").ToStd());
        return user.id >= 1;
    }

    // A login (3 or 9) handing over `keys`; the answers that unsealed with the first.
    std::vector<CZelXmlDocument> Login(uint32_t type, const User& user, const std::vector<CZelSessionKeyGrant>& keys,
                                       int64_t lastUpdates = kStandingOnlyTimeStamp)
    {
        const char* command = type == kRequestPreLogin ? kCommandPreLogin : kCommandReqTimestamp;
        const CZelXmlDocument document = MakeLoginDocument(Format("%D", user.id), command, keys, lastUpdates);
        return LoginRequest(type, user.AccountKey(), document, m_server, m_connection, kHttpWriteTimeoutMs).answers;
    }

    // The worker runs' login: a fresh key under number 6, kept in the user.
    bool LoginRun(User& user, uint32_t keyNumber = kKeyNumAccountRun)
    {
        user.sessionKey = MakeSessionKey();
        return Login(kRequestReqTimestamp, user, {{keyNumber, user.sessionKey}}).size() == 1;
    }

    std::vector<CZelXmlDocument> Sealed(uint32_t type, const User& user, const CZelXmlDocument& document,
                                        uint32_t keyNumber = kKeyNumAccountRun)
    {
        return SealedRequest(type, document, user.id, keyNumber, user.sessionKey, m_server, m_connection,
                             kHttpWriteTimeoutMs);
    }

private:
    CZelServerAddress m_server;
    CZelTcpFile m_connection;
};

// A contact list command document as the accounts page builds it.
struct ListCommand {
    ListCommand(std::string a, std::string address) : action(std::move(a)), email(std::move(address)) {}
    ListCommand(std::string a, std::string address, std::string c, bool sendCode)
        : action(std::move(a)), email(std::move(address)), code(std::move(c)), withCode(sendCode) {}

    std::string action, email, code;
    bool withCode = false;
};

inline CZelXmlDocument ListDocument(const std::vector<ListCommand>& commands, const std::string& lastUpdates = "0")
{
    CZelXmlDocument document;
    document.Create("doc", "Root");
    CZelXmlNode root = document.RootElement();
    root.SetAttr("TimeStamp", "1");
    for (const ListCommand& command : commands) {
        CZelXmlElement element("Command");
        element.SetAttr("action", command.action.c_str());
        element.SetAttr("email", command.email.c_str());
        if (command.withCode)
            element.SetAttr("SecureCode", command.code.c_str());
        root.AddChild(element);
    }
    root.SetAttr("LastUpdatesTimeStamp", lastUpdates.c_str());
    return document;
}

inline CZelXmlDocument AdminDocument(const std::string& command, const std::string& attribute, const std::string& value)
{
    CZelXmlDocument document;
    document.Create("AdminReq", "AdminReq");
    CZelXmlElement element("Command");
    element.SetAttr("command", command.c_str());
    element.SetAttr(attribute.c_str(), value.c_str());
    document.RootElement().AddChild(element);
    return document;
}

// The `user` entries of an answer's `Updates`, as "list email" texts in order.
inline std::vector<std::string> UpdateEntries(const CZelXmlDocument& answer)
{
    std::vector<std::string> entries;
    const CZelXmlNode updates = answer.RootElement().FindChild("Updates");
    for (CZelXmlNode user = updates.FindChild("user"); !user.IsNull(); user = user.NextSameName())
        entries.push_back(user.GetAttr("list").ToStd() + " " + user.GetAttr("email").ToStd());
    return entries;
}

inline std::string UpdatesAttr(const CZelXmlDocument& answer, const char* name)
{
    return answer.RootElement().FindChild("Updates").GetAttr(name).ToStd();
}

// The real velmo-central program with its output on pipes; killed when it goes.
class CentralProgram : public velmo_testing::ChildProcess {
public:
    explicit CentralProgram(const std::vector<std::string>& args)
        : ChildProcess(std::string(VELMO_BINARY_DIR) + "/bin/velmo-central", args) {}

    // The port of the "listening on" line; -1 when none came within a minute.
    int ReadPort()
    {
        std::string line;
        ReadLine(line, 60000);
        const std::string prefix = std::string(kCentralListeningLine) + "127.0.0.1:";
        EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
        return line.rfind(prefix, 0) == 0 ? std::stoi(line.substr(prefix.size())) : -1;
    }

    // The exit code, or 128 + the signal that ended it.
    int Wait() { return ExitCode(ChildProcess::Wait()); }
};

} // namespace centraltest
