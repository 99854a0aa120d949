#pragma once
// The incoming-mail side's own words: what the inbox download writes to the POP3 log and the
// activity texts, the names it records in the message history, and the limits it keeps, each
// written once. The words shared with the central server are in ZelProtocolVocabulary.h.
// Texts that pass through the translation table keep the program's own spelling, since that
// spelling is the translation key.

#include <cstdint>

// --- The message data a download brings. ---
// The 8-byte big-endian length that opens a download file, before the data itself.
inline constexpr int64_t kInboxLengthHeadBytes = 8;
// The message data: its transfer hash, then the content records.
inline constexpr int64_t kInboxMinMessageBytes = 32;
inline constexpr int64_t kInboxMaxMessageBytes = 0x6500000;
// A block answer: total length and offset (8 bytes each, big-endian), then the block.
inline constexpr int32_t kInboxBlockHeadBytes = 16;
// Inner records that carry RSA blocks or the text may not claim more than this.
inline constexpr int64_t kInboxMaxInnerRecordBytes = 0x40000000;
// The key block and the sender block hold a short document each (a few hundred bytes under
// the RSA transform); anything far larger is refused before the slow arithmetic meets it.
inline constexpr int64_t kInboxMaxRsaBlockBytes = 65536;
// An inner record that names an account starts with its 8-byte big-endian id.
inline constexpr int32_t kInboxRecordIdBytes = 8;
// Sizes the opened blocks must have.
inline constexpr int32_t kInboxMessageKeyBytes = 32;
inline constexpr int32_t kInboxSaltBytes = 8;
inline constexpr int32_t kInboxHashKeyBytes = 32;
inline constexpr int32_t kInboxHashSaltBytes = 8;
inline constexpr int32_t kInboxHashBytes = 32;

// --- The block download. ---
inline constexpr char kInboxTextReceiving[] = "Receiving message %1 by <=%2 KB parts...";
inline constexpr char kInboxTextProgress[] = "Receiving e-mail: %1 of %2 bytes of data are received...";
inline constexpr char kInboxLogProgress[] = "Receiving e-mail: %,D of %,D bytes of data are received...";
inline constexpr char kInboxLogZeroLength[] = "eReqRecvBlock data error (zero length)\n";
inline constexpr char kInboxLogDecryptError[] = "eReqRecvBlock decrypt error\n";
inline constexpr char kInboxLogDataError[] = "eReqRecvBlock data error\n";
// A block answer that brought no bytes while the message is not whole: the server is asked
// again later rather than in a tight loop.
inline constexpr char kInboxLogNoBytes[] = "eReqRecvBlock: no data at %D of %D bytes, trying again later\n";
inline constexpr char kInboxLogUnknownError[] = "ReceiveBlocks(): unknown error\n";
inline constexpr char kInboxLogFileError[] = "error: %s\n";
inline constexpr char kInboxFileWriteError[] =
    "File write error, %,D of %,D bytes of data is written in the last write call";
inline constexpr char kInboxLogLineEnd[] = "\n";

// --- Verifying and opening a downloaded message. ---
inline constexpr char kInboxLogHashError[] = "Message %S: hash error\n";
inline constexpr char kInboxLogReceived[] = "Message %s is received\n";
inline constexpr char kInboxLogSenderInfo[] = "Sender info block: letter with id = %s\n";
inline constexpr char kInboxLogServerError[] = "error: message %s, status %s, extended error %s\n";
inline constexpr char kInboxLogUnknownFailure[] = "unknown error\n";
// The downloaded data does not match its transfer hash, or cannot be read back.
inline constexpr char kInboxLogTransferHashError[] = "Message %S: the downloaded data does not match its hash\n";
inline constexpr char kInboxDownloadNotWhole[] = "the download file does not hold the whole message";
inline constexpr char kInboxLogNoAccount[] = "Message %S: the account file cannot be read\n";

// --- The stored message. ---
inline constexpr char kInboxFromLine[] = "From: %S\r\n";
inline constexpr char kInboxFromField[] = "from:";
inline constexpr char kInboxMessageIdLine[] = "Velmo-Message-ID: %S\r\n";
inline constexpr char kInboxMessageIdField[] = "velmo-message-id:";
// A name of printable ASCII is written as a quoted string, so search, filters and grep see it
// as it is; any other name as an encoded word.
inline constexpr char kInboxQuote[] = "\"";
inline constexpr char kInboxQuotedAddressStart[] = "\" <";
inline constexpr char kInboxEncodedWordStart[] = "=?utf-8?B?";
inline constexpr char kInboxEncodedWordEnd[] = "?= <";
inline constexpr char kInboxAddressEnd[] = ">";
inline constexpr char kInboxHeaderLineEnd[] = "\r\n";
// Bytes an address may not hold besides those outside 0x21..0x7F.
inline constexpr char kInboxEmailForbidden[] = "<=>?";
inline constexpr char kInboxTextReceivedFrom[] = "Received message from %1";
inline constexpr char kInboxLogHistoryError[] =
    "Message %S is stored as %D, but its history entry cannot be written\n";

// --- The download thread. ---
inline constexpr int kInboxDownloadPollMs = 100;
inline constexpr int kInboxRetryPauseMs = 120000;
// The environment variable that shortens that pause (milliseconds).
inline constexpr char kInboxRetryPauseVariable[] = "VELMO_DOWNLOAD_RETRY_MS";
// Tries in a row that end in "try again later" without bringing a byte before the message
// leaves the queue (about an hour at the full pause).
inline constexpr int kInboxRetryLimit = 30;
inline constexpr char kInboxLogBadMessageId[] = "Server reply error: message id %S is refused\n";
inline constexpr char kInboxLogRetriesExhausted[] =
    "Message %S could not be received after %d tries; the next login queues it again\n";
