#pragma once
// eMessageIsSent: uploads one queued message file to the central server in blocks under the
// Outbox key, resuming where the server's acknowledgements say, and on the server's final "OK"
// records a `Sent` history entry per recipient.
//
// Results: kUploadRetry (0) keep the file and try again later - every upload that got no final
// verdict from the server (no answer, an HTTP or socket error, a closed connection, a seal that
// could not be made); kUploadFinished (1) the server gave its verdict and nothing was recorded
// (a refusal), or the file can never be sent (it cannot be read); kUploadSent (10000) at least
// one history entry was written.

#include "foundation/CZelString.h"
#include "protocol/CZelServerAddress.h"

#include <cstdint>

class CProtocolListData;

inline constexpr int kUploadRetry = 0;
inline constexpr int kUploadFinished = 1;
inline constexpr int kUploadSent = 10000;

int eMessageIsSent(int64_t accountId, const CZelString& outboxKey, int64_t keyNumber, const CZelString& filePath,
                   const CZelString& listPath, const CZelServerAddress& server, CProtocolListData* log);
