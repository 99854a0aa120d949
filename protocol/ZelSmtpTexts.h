#pragma once
// The outgoing-mail side's own words: the texts the SMTP session, its central-server desk,
// the outbox and the upload write to the SMTP log and to the mail client, and the limits they
// keep, each written once. The words shared with the central server are in
// ZelProtocolVocabulary.h. Texts that pass through the translation table keep the program's
// own spelling, since that spelling is the translation key.

#include <cstdint>

// --- The sending handshake, the recipient lookup and the Outbox key. ---
inline constexpr char kSmtpLogAccountUnreadable[] = "point 1(ret)\n";
inline constexpr char kSmtpLogLoginTransformFailed[] = "point 2(ret)\n";
inline constexpr char kSmtpLogTimestampUnparsed[] = "point 3(ret)\n";
inline constexpr char kSmtpLogMsgIdUnparsed[] = "point 4(ret)\n";
inline constexpr char kSmtpLogOutboxKeyWriteError[] = "Session key2 write error\n";
inline constexpr char kSmtpLogOutboxKeyUnlockError[] = "Session key2 unlocking error\n";
// A server or socket failure: its text and a line end.
inline constexpr char kSmtpLogErrorText[] = "%s\n";
// A recipient whose public key cannot seal a key block (the modulus must be odd and of a
// usable size); the session ends instead of queueing mail nobody could open.
inline constexpr char kSmtpLogUnusableRecipientKey[] =
    "Unusable key of recepient %S (message id %S), n.Length():%d\n";
// A message id that may not become part of a file name.
inline constexpr char kSmtpLogBadMessageId[] = "Server reply error: message id %S is refused\n";

// --- Queueing a message in the outbox. ---
inline constexpr char kSmtpLogSenderTransformFailed[] = "point 5(ret)\n";
inline constexpr char kSmtpLogKeyTransformFailed[] = "point 6(ret)\n";
inline constexpr char kSmtpLogEncryptingKeys[] =
    "Encrypting keys for recepient %D, n.Length():%d, e.Length():%d\n";
// Why a message could not be queued (the client is told "500 Failure").
inline constexpr char kSmtpLogQueueFailed[] = "Outbox: the message is not queued: %s\n";
inline constexpr char kSmtpQueueNoKeyFile[] = "the Outbox key file cannot be read";
inline constexpr char kSmtpQueueNoFile[] = "the outbox file cannot be written";
inline constexpr char kSmtpQueueNoListOrKey[] = "the list or key file cannot be written";

// --- Limits. ---
// Write time-outs of the handshake's server key request and of the sealed requests.
inline constexpr int kSmtpServerKeyWriteTimeoutMs = 900000;
inline constexpr int kSmtpRequestWriteTimeoutMs = 60000;
// A message id from the server: digits in dot-separated groups, at most this long.
inline constexpr int kSmtpMaxMessageIdBytes = 64;
// A recipient modulus: odd, and of this many bytes.
inline constexpr int kSmtpMinRecipientKeyBytes = 16;
inline constexpr int kSmtpMaxRecipientKeyBytes = 512;
// Numbers the outbox tries in a row when files cannot be made or written for another reason
// than a taken name (a full disk, missing rights) before the queueing gives up.
inline constexpr int kSmtpOutboxWriteAttempts = 3;

// --- The upload of a queued message file. ---
inline constexpr char kSmtpTextSendingOne[] = "Sending message %1 in %2 KB parts...";
inline constexpr char kSmtpTextSendingMany[] = "Sending message to %1 recepients in %2 KB parts...\n";
inline constexpr char kSmtpTextProgress[] = "Sending e-mail: %1 of %2 bytes of data are sent...";
inline constexpr char kSmtpLogProgress[] = "Sending e-mail: %,D of %,D bytes of data are sent...";
inline constexpr char kSmtpTextSentHead[] = "Message to the following recepients is sent\n";
inline constexpr char kSmtpTextSentTo[] = "Message %1 is sent to %2<%3> at %4.%5\n";
inline constexpr char kSmtpTextMessageSent[] = "Message is sent";
inline constexpr char kSmtpTextSendFailed[] = "Message (%1 bytes) sent failed: %2\nMessage Ids and recepients are:\n";
inline constexpr char kSmtpTextFailedRecipient[] = "%1, %2<%3>\n";
inline constexpr char kSmtpLogAckDecryptError[] = "eRepSendBlock decrypt error\n";
inline constexpr char kSmtpLogAckDataError[] = "eRepSendBlock data error\n";
inline constexpr char kSmtpLogStatusError[] = "eMessageIsSent: error at point 7\n";
inline constexpr char kSmtpLogFileError[] = "error: %s\n";
inline constexpr char kSmtpLogLineEnd[] = "\n";

// --- The upload loop. ---
inline constexpr int kSmtpOutboxPollMs = 100;
inline constexpr int kSmtpRetryPauseMs = 120000;
// The environment variable that shortens that pause (milliseconds).
inline constexpr char kSmtpRetryPauseVariable[] = "VELMO_UPLOAD_RETRY_MS";

// --- Service start. ---
inline constexpr int32_t kSmtpMinPort = 1;
inline constexpr int32_t kSmtpMaxPort = 65535;
inline constexpr char kSmtpLogBadPort[] = "SMTP server: port %d is outside 1-65535; the server is not started\n";
