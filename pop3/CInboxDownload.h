#pragma once
// ReceiveBlocks: fetches one message's data from the central server in blocks into its
// download file ("Accounts/%08D/Inbox/<MessageId>": the 8-byte big-endian total length, then
// the data received so far), resuming from the bytes the file already holds.
//
// Results: kReceiveComplete (1) the file holds the whole data; kReceiveDrop (0) the message
// cannot be fetched (the server refused it, an answer contradicts the file, the file cannot be
// written) and leaves the queue; kReceiveLater (-1) no usable answer now (a socket error, no
// answer record, a block without bytes, a seal that could not be made, a stop request) - try
// again later.

#include "foundation/CZelString.h"
#include "protocol/CZelServerAddress.h"

#include <cstdint>
#include <functional>

class CProtocolListData;
class CZelTcpFile;

inline constexpr int kReceiveComplete = 1;
inline constexpr int kReceiveDrop = 0;
inline constexpr int kReceiveLater = -1;

// The message data and its download file, as the queue names them.
struct CInboxFetch {
    int64_t accountId = 0;
    CZelString inboxKey;
    uint32_t keyNumber = 0;
    CZelString messageId;
    CZelString downloadPath;
    // Asked before every block: true ends the download as "try again later", the bytes held
    // so far kept. A large message on a slow line must not hold up a stop request.
    std::function<bool()> stopRequested;
};

// Posts over `connection` (kept open between blocks and messages; a socket error closes it).
int ReceiveBlocks(const CInboxFetch& fetch, const CZelServerAddress& server, CZelTcpFile& connection,
                  CProtocolListData& log);
