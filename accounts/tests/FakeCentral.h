#pragma once
// A small stand-in for the central server on 127.0.0.1 for the worker tests: plain POSIX
// sockets, one thread, one connection at a time, HTTP requests with a Content-Length body. It
// answers the server key request, registration, the ReqTimestamp login, the account update and
// the contact list request with the real record, RSA and sealing code, and records what it got.

#include "crypto/LongInt2.h"
#include "crypto/RsaBlockTransform.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "protocol/ZelServerRequests.h"
#include "testing/TestKeys.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace accountstest {

using KeyPair = velmo_testing::TestKeyPair;

// Keys of the size the gateway makes for its accounts.
inline const KeyPair& TestKeys(int which)
{
    return velmo_testing::TestKeys(which, 128);
}

class FakeCentral {
public:
    // Hooks that shape the answers; each returns the answer document's text.
    std::string registerStatus = "Success";
    int64_t nextId = 42;
    bool answerLogin = true;
    bool answerUpdate = true;
    std::string updateStatus = "OK";
    // The secure code that "+cl" must quote; other commands are always accepted.
    std::string rightCode = "C0DE";
    // The account key that logins are opened with.
    KeyPair accountKey;

    std::vector<std::string> registrations;       // registration texts
    std::vector<std::string> logins;              // login texts
    std::vector<std::string> commands;            // contact list request texts
    std::vector<std::string> updates;             // account update texts
    std::vector<uint32_t> sessionKeyNumbers;      // key numbers of sealed requests

    // Changes a hook while the serving thread may already be answering.
    void SetRegisterStatus(std::string status)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        registerStatus = std::move(status);
    }

    FakeCentral() : m_serverKey(TestKeys(0))
    {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int yes = 1;
        setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_listen, 8);
        socklen_t length = sizeof address;
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeCentral()
    {
        m_stop = true;
        m_thread.join();
        close(m_listen);
    }
    int Port() const { return m_port; }

private:
    void Serve()
    {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            const int fd = accept(m_listen, nullptr, nullptr);
            if (fd >= 0) {
                ServeConnection(fd);
                close(fd);
            }
        }
    }

    void ServeConnection(int fd)
    {
        std::string pending;
        while (!m_stop) {
            const size_t end = pending.find("\r\n\r\n");
            if (end != std::string::npos) {
                const size_t at = pending.find("Content-Length: ");
                const size_t length = at == std::string::npos ? 0 : std::strtoul(pending.c_str() + at + 16, nullptr, 10);
                if (pending.size() >= end + 4 + length) {
                    const std::string body = pending.substr(end + 4, length);
                    pending.erase(0, end + 4 + length);
                    const std::string answer = Answer(body);
                    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(answer.size()) +
                                              "\r\n\r\n" + answer;
                    if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0)
                        return;
                    continue;
                }
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char chunk[65536];
            const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0)
                return;
            pending.append(chunk, static_cast<size_t>(got));
        }
    }

    static CZelXmlDocument Doc()
    {
        CZelXmlDocument document;
        document.Create("doc", "Root");
        return document;
    }
    static CZelXmlElement Updates()
    {
        CZelXmlElement updates("Updates");
        updates.SetAttr("UserLevel", "Authorized");
        updates.SetAttr("OperatedStatus", "Normal");
        return updates;
    }
    static std::string Record(uint32_t type, const CZelString& payload) { return Frame(type, payload).ToStd(); }

    std::string Answer(const std::string& body)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        CZelRecord request;
        if (!ParseRequestRecord(CZelString(body), request))
            return "";
        switch (request.type) {
        case 1: {
            CZelXmlDocument answer = Doc();
            answer.RootElement().SetAttr("n", m_serverKey.n);
            answer.RootElement().SetAttr("e", m_serverKey.e);
            return Record(AnswerType(kRequestServerKey), answer.ToRequestText());
        }
        case 2: return Register(request.payload);
        case 3: return Login(request.payload);
        case 26:
        case 27: return Sealed(request.type, request.payload);
        default: return "";
        }
    }

    std::string Register(const CZelString& payload)
    {
        const LongInt2 n(m_serverKey.n.Ptr(), 128);
        const LongInt2 d(m_serverKey.d.Ptr(), 128);
        CZelString text;
        uint32_t time = 0;
        if (RsaBlockTransform::Invert(n, d, payload.Ptr(), payload.Length(), text, time) < 0)
            return "";
        registrations.push_back(text.ToStd());
        CZelXmlDocument registration;
        registration.Parse(text);
        m_registeredKeys[nextId] = {registration.RootElement().GetAttr("n"), CZelString(),
                                    registration.RootElement().GetAttr("e")};
        CZelXmlDocument answer = Doc();
        answer.RootElement().SetAttr("Status", CZelString(registerStatus));
        if (registerStatus == "Success")
            answer.RootElement().SetAttr("Id", Format("%D", nextId++));
        return Record(AnswerType(kRequestRegister), answer.ToRequestText());
    }

    std::string Login(const CZelString& payload)
    {
        int64_t id = 0;
        CZelString text;
        uint32_t time = 0;
        const int64_t claimed = payload.Length() > 8 ? GetInt64BE(payload.Ptr()) : -1;
        const auto registered = m_registeredKeys.find(claimed);
        const KeyPair& key = registered == m_registeredKeys.end() ? accountKey : registered->second;
        if (!OpenLoginPayload(payload, key.n, key.e, id, text, time))
            return "";
        logins.push_back(text.ToStd());
        CZelXmlDocument login;
        login.Parse(text);
        m_sessionKey = FirstSessionKey(login);
        if (!answerLogin)
            return "";
        CZelXmlDocument answer = Doc();
        answer.RootElement().SetAttr("Status", "OK");
        answer.RootElement().AddChild(Updates());
        return Record(AnswerType(kRequestReqTimestamp), SealAnswer(m_sessionKey, answer.ToRequestText()));
    }

    std::string Sealed(uint32_t type, const CZelString& payload)
    {
        int64_t id = 0;
        uint32_t keyNumber = 0;
        CZelString sealed, plain;
        if (!SplitSealedRequest(payload, id, keyNumber, sealed) || !Unseal(m_sessionKey, sealed, plain))
            return "";
        sessionKeyNumbers.push_back(keyNumber);
        CZelXmlDocument request;
        request.Parse(plain);
        CZelXmlDocument answer = Doc();
        CZelXmlNode root = answer.RootElement();
        CZelXmlElement updates = Updates();
        if (type == kRequestAccountUpdate) {
            this->updates.push_back(plain.ToStd());
            if (!answerUpdate)
                return "";
            root.SetAttr("Status", CZelString(updateStatus));
            if (updateStatus != "OK")
                root.SetAttr("ErrorMessage", "Bad data");
        } else {
            commands.push_back(plain.ToStd());
            updates.SetAttr("TimeStamp", "1000");
            for (CZelXmlNode command = request.RootElement().FindChild("Command"); !command.IsNull();
                 command = command.NextSameName()) {
                const std::string action = command.GetAttr("action").ToStd();
                const bool refused = action == "+cl" && command.GetAttr("SecureCode").ToStd() != rightCode;
                CZelXmlElement result("Command");
                result.SetAttr("email", command.GetAttr("email"));
                result.SetAttr("action", CZelString(action));
                result.SetAttr("Status", refused ? "Wrong secure code" : "OK");
                root.AddChild(result);
                if (refused)
                    continue;
                CZelXmlElement user("user");
                user.SetAttr("Id", "7");
                user.SetAttr("list", CZelString(action));
                user.SetAttr("TimeStamp", "1000");
                user.SetAttr("email", command.GetAttr("email"));
                user.SetAttr("Name", "Peer");
                updates.AddChild(user);
            }
        }
        root.AddChild(updates);
        return Record(AnswerType(type), SealAnswer(m_sessionKey, answer.ToRequestText()));
    }

    const KeyPair& m_serverKey;
    std::map<int64_t, KeyPair> m_registeredKeys;
    CZelString m_sessionKey;
    std::mutex m_lock;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace accountstest
