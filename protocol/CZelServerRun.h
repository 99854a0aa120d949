#pragma once
// CZelServerRun: the sequence every worker run (registration update, contact list change,
// administration) follows with the central server: a fresh session key and one kept-alive
// connection to the run's server address for the whole run, the server key request, the
// ReqTimestamp login that hands the key over under the run's key number, then the run's own
// requests sealed with that key.
//
// Progress texts reach the status sink in English; the worker that owns the run translates
// them for its user.

#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "protocol/CZelServerAddress.h"
#include "protocol/ZelServerRequests.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class CZelTcpFile;
class IZelLogSink;

class CZelServerRun {
public:
    using StatusSink = std::function<void(const char* text)>;

    static constexpr char kRequestingServerKeys[] = "Requesting sever keys...";
    static constexpr char kServerKeysReceived[] = "Sever keys are received.";

    // The connection throws its errors (XTOOSockErr); the caller catches them around the run.
    CZelServerRun(CZelServerAddress address, uint32_t keyNumber, int writeTimeoutMs, StatusSink status = {},
                  IZelLogSink* log = nullptr);
    ~CZelServerRun();
    CZelServerRun(const CZelServerRun&) = delete;
    CZelServerRun& operator=(const CZelServerRun&) = delete;

    const CZelServerAddress& Address() const { return m_address; }
    const CZelString& SessionKey() const { return m_key; }
    uint32_t KeyNumber() const { return m_keyNumber; }
    CZelTcpFile& Connection() { return *m_connection; }

    // "Requesting sever keys...", the request, and "Sever keys are received." when both parts
    // arrived.
    CZelServerKey RequestServerKeys();
    // Type 3 "ReqTimestamp" with the run's key under its number, asking for the standing only.
    CZelLoginResult Login(const CZelAccountKey& account);
    // The run's own request sealed with its key; the answers that unseal and parse.
    std::vector<CZelXmlDocument> Request(uint32_t type, const CZelXmlDocument& document, int64_t accountId);

private:
    void SetStatus(const char* text) const;

    CZelServerAddress m_address;
    CZelString m_key;
    uint32_t m_keyNumber;
    int m_writeTimeoutMs;
    StatusSink m_status;
    IZelLogSink* m_log;
    std::unique_ptr<CZelTcpFile> m_connection;
};
