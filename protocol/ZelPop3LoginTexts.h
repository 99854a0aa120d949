#pragma once
// The incoming-mail side's words for the login exchange with the central server and for the
// removal of a stored message: the lines they write to the POP3 log and the limits they keep,
// each written once. The words shared with the central server are in ZelProtocolVocabulary.h.

#include <cstdint>

// --- The login exchange. ---
// The Inbox key file could not be written: the exchange is abandoned (the login is refused).
inline constexpr char kPop3LogInboxKeyWriteError[] = "Session key2 write error\n";
// A delivery report of a sent message: id, date-time text of the seconds, milliseconds.
inline constexpr char kPop3LogDelivered[] = "Message %s is delivered at %s.%03d\n";
// A message the server holds for the user went into the receive queue.
inline constexpr char kPop3LogQueued[] = "Message %s receiving task is added to queue\n";
// A message id of the server's that may not become part of a file name or a history entry;
// shown cut to kPop3ShownMessageIdBytes.
inline constexpr char kPop3LogUnsafeMessageId[] = "Server reply error: message id %S is refused\n";
inline constexpr int32_t kPop3ShownMessageIdBytes = 80;
// A socket or HTTP failure: its text and a line end.
inline constexpr char kPop3LogErrorText[] = "%s\n";

// --- The removal of a stored message. ---
inline constexpr char kPop3LogDeleting[] = "deleting message %s\n";
inline constexpr char kPop3LogDeleteError[] = "Error deleting message: %s\n";

// --- Limits. ---
// Write time-outs: the three requests of the login exchange, the received report, the delete.
// Every answer is read within the HTTP client's own limits.
inline constexpr int kPop3LoginWriteTimeoutMs = 900000;
inline constexpr int kPop3ReceivedWriteTimeoutMs = 900000;
inline constexpr int kPop3DeleteWriteTimeoutMs = 60000;
