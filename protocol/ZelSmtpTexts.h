#pragma once
// The outgoing-mail side's own words: the texts the SMTP session, its central-server desk,
// the outbox and the upload write to the SMTP log and to the mail client, and the limits they
// keep, each written once. The words shared with the central server are in
// ZelProtocolVocabulary.h. Texts that pass through the translation table keep the program's
// own spelling, since that spelling is the translation key.

#include <cstdint>

// ============================================================================================
// The dialogue: listener and session
// ============================================================================================

// --- Limits ---
// One read: up to and including the first CR LF, never more than this.
inline constexpr int kSmtpReadLimit = 65536;
// Every read and write of a session.
inline constexpr int kSmtpIoTimeoutMs = 30000;
// The largest message, counted as received in the data stage with the final "." line; also
// announced as SIZE.
inline constexpr int64_t kSmtpMaxMessageBytes = 104857600;
inline constexpr int64_t kSmtpMaxMessageMegabytes = kSmtpMaxMessageBytes / (1024 * 1024);
// The message buffer starts at this and doubles.
inline constexpr int64_t kSmtpMessageBufferStart = 65536;
// Accept failures over the server's life that end it.
inline constexpr int kSmtpAcceptFailureLimit = 10;
// At most one progress count per this many milliseconds in the data stage.
inline constexpr int64_t kSmtpProgressIntervalMs = 1000;
// The header lines of a message are logged until the blank line, but never more than this:
// a message without a blank line would otherwise copy itself into the log.
inline constexpr int64_t kSmtpHeaderLogLimit = 65536;
// The accept waits in slices this long, so a stop request ends the server promptly.
inline constexpr int kSmtpAcceptSliceMs = 200;
// Connections are served one at a time, so a client that idles or trickles holds the server.
// A session must reach DATA within this time (counted again after each queued message), far
// beyond what an honest client on the same machine needs.
inline constexpr int64_t kSmtpCommandPhaseLimitMs = 5 * 60 * 1000;
// The data stage may take this long plus one second per kSmtpDataFloorBytesPerSecond received:
// a 20 MB message gets over 20 minutes, a loopback client needs seconds.
inline constexpr int64_t kSmtpDataGraceMs = 2 * 60 * 1000;
inline constexpr int64_t kSmtpDataFloorBytesPerSecond = 16 * 1024;
// The client's own texts in replies and log lines are cut to this.
inline constexpr int kSmtpErrorTextLimit = 128;
// 127.0.0.1, first octet in the most significant byte.
inline constexpr uint32_t kSmtpLoopbackAddress = 0x7F000001u;

// --- Commands, compared upper-cased ---
inline constexpr char kSmtpCmdEhlo[] = "EHLO";
inline constexpr char kSmtpCmdHelo[] = "HELO";
inline constexpr char kSmtpCmdNoop[] = "NOOP";
inline constexpr char kSmtpCmdHelp[] = "HELP";
inline constexpr char kSmtpCmdRset[] = "RSET";
inline constexpr char kSmtpCmdExpn[] = "EXPN";
inline constexpr char kSmtpCmdVrfy[] = "VRFY";
inline constexpr char kSmtpCmdQuit[] = "QUIT";
inline constexpr char kSmtpCmdData[] = "DATA";
inline constexpr char kSmtpCmdAuthLogin[] = "AUTH LOGIN";
inline constexpr char kSmtpCmdAuthPlain[] = "AUTH PLAIN";
inline constexpr char kSmtpCmdAuthPlainWithResponse[] = "AUTH PLAIN ";
// "AUTH PLAIN " and the initial response from the twelfth character on.
inline constexpr int kSmtpAuthPlainResponseStart = 11;
// The first word of every authentication command, however it is spelt or spaced: whatever
// follows its mechanism may be a secret.
inline constexpr char kSmtpCmdAuth[] = "AUTH";
inline constexpr char kSmtpCmdStartTls[] = "STARTTLS";
inline constexpr char kSmtpCmdMailFrom[] = "MAIL FROM:";
inline constexpr char kSmtpCmdMail[] = "MAIL";
inline constexpr char kSmtpCmdRcpt[] = "RCPT";
inline constexpr char kSmtpCmdRcptTo[] = "RCPT TO:";
inline constexpr char kSmtpLineEnd[] = "\r\n";
inline constexpr char kSmtpDataEnd[] = ".\r\n";

// --- Replies ---
inline constexpr char kSmtpReplyGreeting[] = "220 %S ESMTP Tandrill secure mail server\r\n";
inline constexpr char kSmtpUnknownHost[] = "<unknown>";
inline constexpr char kSmtpReplyExtensions[] =
    "250-%S\r\n250-PIPELINING\r\n250-SIZE %D\r\n250-ETRN\r\n250-STARTTLS\r\n250-AUTH PLAIN LOGIN\r\n"
    "250-AUTH=PLAIN LOGIN\r\n250-ENHANCEDSTATUSCODES\r\n250-8BITMIME\r\n250 DSN\r\n";
// Once the connection is protected, STARTTLS is no longer offered.
inline constexpr char kSmtpReplyExtensionsUnderTls[] =
    "250-%S\r\n250-PIPELINING\r\n250-SIZE %D\r\n250-ETRN\r\n250-AUTH PLAIN LOGIN\r\n"
    "250-AUTH=PLAIN LOGIN\r\n250-ENHANCEDSTATUSCODES\r\n250-8BITMIME\r\n250 DSN\r\n";
inline constexpr char kSmtpReplyOk[] = "250 OK\r\n";
inline constexpr char kSmtpReplyReadyToStartTls[] = "220 Ready to start TLS\r\n";
// The gateway has no usable certificate: the client may go on without TLS, or leave.
inline constexpr char kSmtpReplyTlsUnavailable[] = "454 4.7.0 TLS not available due to temporary reason\r\n";
// AUTH over the network in the clear: passwords only ever cross a protected connection.
inline constexpr char kSmtpReplyTlsRequired[] = "530 5.7.0 Must issue a STARTTLS command first\r\n";
inline constexpr char kSmtpReplyRecipientOk[] = "250 Ok\r\n";
inline constexpr char kSmtpReplyNotImplemented[] = "502 Command not implemented\r\n";
inline constexpr char kSmtpReplyBadSequence[] = "503 bad sequence of commands\r\n";
// The challenges: the SMTP authentication grammar wants "334" and a blank before the Base64
// text (clients such as swaks refuse a bare "334"), and AUTH LOGIN clients expect the usual
// "Username:" and "Password:" prompts.
inline constexpr char kSmtpReplyChallenge[] = "334 \r\n";
inline constexpr char kSmtpReplyLoginChallenge[] = "334 VXNlcm5hbWU6\r\n";
inline constexpr char kSmtpReplyPasswordChallenge[] = "334 UGFzc3dvcmQ6\r\n";
// Refused credentials, whatever was wrong: an unknown login, a wrong password, or an
// authorisation identity other than the login. Mail clients prompt again or retry on 535; many
// take a 500 for a broken protocol.
inline constexpr char kSmtpReplyCredentialsInvalid[] = "535 5.7.8 Authentication credentials invalid\r\n";
inline constexpr char kSmtpReplyAuthSuccess[] = "235 Authentication successful\r\n";
inline constexpr char kSmtpReplyStatusUnknown[] = "500 Authentification successfull, but opetated status is unknown\r\n";
inline constexpr char kSmtpReplyStatusOther[] = "500 Authentification successfull, but opetated status is %S\r\n";
inline constexpr char kSmtpOperatedStatusNormal[] = "Normal";
inline constexpr char kSmtpReplyNoSuchUser[] = "550 No such user\r\n";
inline constexpr char kSmtpReplyRecipientError[] = "550 error: %S\r\n";
inline constexpr char kSmtpReplyServerReplyError[] = "550 Server reply error\r\n";
inline constexpr char kSmtpReplyStartData[] = "354 End data with <CR><LF>.<CR><LF>\r\n";
inline constexpr char kSmtpReplyTooLong[] = "500 Failure: too long message size (limit is %D MB)\r\n";
inline constexpr char kSmtpReplyQueued[] = "250 OK: queued as %X%08X\r\n";
inline constexpr char kSmtpReplyFailure[] = "500 Failure\r\n";
inline constexpr char kSmtpReplyBye[] = "221 Bye\r\n";
inline constexpr char kSmtpReplyTimeLimit[] = "421 Session time limit reached, closing connection\r\n";

// --- SMTP log lines ---
inline constexpr char kSmtpLogAccepting[] = "Accepting connection to a port %d...\n";
inline constexpr char kSmtpLogListenFailed[] = "err0: %S\n";
inline constexpr char kSmtpLogBadPort[] = "SMTP server port %d is outside 1-65535; the server is not started\n";
inline constexpr char kSmtpLogTextLine[] = "%S\n";
inline constexpr char kSmtpLogUnknownError[] = "error\n";
inline constexpr char kSmtpLogTooManyAcceptFailures[] = "Too many failed connections; the SMTP server ends\n";
inline constexpr char kSmtpLogLoginDecode[] = "Login decode: %S\n";
inline constexpr char kSmtpLogPasswordDecode[] = "Password decode: ********\n";
// What stands in the log for a secret the client sent.
inline constexpr char kSmtpLogSecret[] = "********";
inline constexpr char kSmtpLogDataProgress[] = "\r%,D";
inline constexpr char kSmtpLogFinalCount[] = "\r%,D\n";
inline constexpr char kSmtpLogTimeLimit[] = "Session time limit reached\n";

// ============================================================================================
// The desk, the outbox and the upload
// ============================================================================================

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
