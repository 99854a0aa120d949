#include "protocol/CZelServerRun.h"

#include "net/CZelTcpFile.h"
#include "protocol/ZelSealing.h"

#include <utility>

CZelServerRun::CZelServerRun(CZelServerAddress address, uint32_t keyNumber, int writeTimeoutMs, StatusSink status,
                             IZelLogSink* log)
    : m_address(std::move(address)),
      m_key(MakeSessionKey()),
      m_keyNumber(keyNumber),
      m_writeTimeoutMs(writeTimeoutMs),
      m_status(std::move(status)),
      m_log(log),
      m_connection(std::make_unique<CZelTcpFile>(true))
{
}

CZelServerRun::~CZelServerRun() = default;

void CZelServerRun::SetStatus(const char* text) const
{
    if (m_status)
        m_status(text);
}

CZelServerKey CZelServerRun::RequestServerKeys()
{
    SetStatus(kRequestingServerKeys);
    CZelServerKey key = RequestServerKey(m_address, *m_connection, m_writeTimeoutMs, m_log);
    if (key.IsComplete())
        SetStatus(kServerKeysReceived);
    return key;
}

CZelLoginResult CZelServerRun::Login(const CZelAccountKey& account)
{
    const CZelXmlDocument document = MakeLoginDocument(account.idText, kCommandReqTimestamp,
                                                       {{m_keyNumber, m_key}}, kStandingOnlyTimeStamp);
    return LoginRequest(kRequestReqTimestamp, account, document, m_address, *m_connection, m_writeTimeoutMs, m_log);
}

std::vector<CZelXmlDocument> CZelServerRun::Request(uint32_t type, const CZelXmlDocument& document, int64_t accountId)
{
    return SealedRequest(type, document, accountId, m_keyNumber, m_key, m_address, *m_connection, m_writeTimeoutMs,
                         m_log);
}
