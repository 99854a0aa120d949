#pragma once
// The requests every part of the system makes to the central server in the same way: the
// server key request, the login request that hands the server fresh session keys under the
// account's RSA key, and the sealed request that carries a document under a session key.
// Each is posted to the address the caller gives, over the caller's kept-alive connection.

#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "protocol/CZelServerAddress.h"
#include "protocol/ZelProtocolVocabulary.h"

#include <cstdint>
#include <vector>

class CZelTcpFile;
class IZelLogSink;

// The central server's RSA public key as raw bytes, least significant byte first.
struct CZelServerKey {
    CZelString n;
    CZelString e;
    bool IsComplete() const { return !n.IsEmpty() && !e.IsEmpty(); }
};

// What a login needs of an account file: the `Id` text and the private key `n`, `d`.
struct CZelAccountKey {
    CZelString idText;
    CZelString n;
    CZelString d;
    // The number in `Id`; -1 when it is missing or not a number (an unregistered account).
    int64_t Id() const;
};

// One session key handed to the server under its key number.
struct CZelSessionKeyGrant {
    uint32_t keyNumber = 0;
    CZelString key;
};

// Posts frame(1, empty) and reads `n` and `e` of the first 65537 record that parses
// (possibly empty).
CZelServerKey RequestServerKey(const CZelServerAddress& address, CZelTcpFile& connection, int writeTimeoutMs,
                               IZelLogSink* log = nullptr);

// The login document: `Id`, `Command`, one `SessionKey` child per key, `LastUpdatesTimeStamp`.
CZelXmlDocument MakeLoginDocument(const CZelString& idText, const char* command,
                                  const std::vector<CZelSessionKeyGrant>& keys, int64_t lastUpdatesTimeStamp);
// The key of the document's first `SessionKey` child: the key that seals the answers.
CZelString FirstSessionKey(const CZelXmlDocument& document);

// The login payload: the account id (8 bytes, big-endian) and the document's request text
// under the RSA block transform with the account's `n` and `d` at `timeSeconds`. Empty when
// the transform fails (no key, a broken key).
CZelString MakeLoginPayload(const CZelAccountKey& account, const CZelXmlDocument& document, uint32_t timeSeconds);
// The other side: the id and the document text opened with the account's public key.
bool OpenLoginPayload(const CZelString& payload, const CZelString& n, const CZelString& e, int64_t& accountId,
                      CZelString& text, uint32_t& timeSeconds);

struct CZelLoginResult {
    bool sent = false;                        // false: the transform failed, nothing was posted
    std::vector<CZelXmlDocument> answers;     // answer records that unsealed and parsed
};

// Type 3 ("ReqTimestamp") or 9 ("PreLogin"): posts the login payload made at the current time
// and opens the answers with the document's first session key. A failed transform writes
// "point 2(ret)\n" to the debug output and posts nothing.
CZelLoginResult LoginRequest(uint32_t type, const CZelAccountKey& account, const CZelXmlDocument& document,
                             const CZelServerAddress& address, CZelTcpFile& connection, int writeTimeoutMs,
                             IZelLogSink* log = nullptr);

// Seals `plain` under (account id, key number, key), posts it as `type` and returns the
// answer records of type + 65536 that unseal with the same key.
std::vector<CZelString> SealedRequestRaw(uint32_t type, const CZelString& plain, int64_t accountId,
                                         uint32_t keyNumber, const CZelString& key, const CZelServerAddress& address,
                                         CZelTcpFile& connection, int writeTimeoutMs, IZelLogSink* log = nullptr);
// The same for a document (request text layout), returning the answers that parse.
std::vector<CZelXmlDocument> SealedRequest(uint32_t type, const CZelXmlDocument& document, int64_t accountId,
                                           uint32_t keyNumber, const CZelString& key, const CZelServerAddress& address,
                                           CZelTcpFile& connection, int writeTimeoutMs, IZelLogSink* log = nullptr);

// The records of `answerType` in an answer body that unseal with `key` (and, for the second,
// parse); the rest are skipped.
std::vector<CZelString> OpenSealedAnswers(const CZelString& body, uint32_t answerType, const CZelString& key);
std::vector<CZelXmlDocument> ParseSealedAnswers(const CZelString& body, uint32_t answerType, const CZelString& key);

// The platform's debug output (standard error here).
void ProtocolDebugOutput(const CZelString& text);
