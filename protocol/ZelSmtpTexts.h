#pragma once
// Every text and limit of the local SMTP service, written once: the replies the mail client
// reads, the lines the SMTP log shows, and the limits a session keeps. Sections: the dialogue
// (listener and session), then the desk (handshake, lookup, queueing) and the upload, which
// add their own below.

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
inline constexpr char kSmtpCmdMailFrom[] = "MAIL FROM:";
inline constexpr char kSmtpCmdRcptTo[] = "RCPT TO:";
inline constexpr char kSmtpWordDelimiters[] = " \t";
inline constexpr char kSmtpLineEnd[] = "\r\n";
inline constexpr char kSmtpDataEnd[] = ".\r\n";

// --- Replies ---
inline constexpr char kSmtpReplyGreeting[] = "220 %S ESMTP Tandrill secure mail server\r\n";
inline constexpr char kSmtpUnknownHost[] = "<unknown>";
inline constexpr char kSmtpReplyExtensions[] =
    "250-%S\r\n250-PIPELINING\r\n250-SIZE %D\r\n250-ETRN\r\n250-STARTTLS\r\n250-AUTH PLAIN\r\n"
    "250-AUTH=PLAIN\r\n250-ENHANCEDSTATUSCODES\r\n250-8BITMIME\r\n250 DSN\r\n";
inline constexpr char kSmtpReplyOk[] = "250 OK\r\n";
inline constexpr char kSmtpReplyRecipientOk[] = "250 Ok\r\n";
inline constexpr char kSmtpReplyNotImplemented[] = "502 Command not implemented\r\n";
inline constexpr char kSmtpReplyBadSequence[] = "503 bad sequence of commands\r\n";
inline constexpr char kSmtpReplyChallenge[] = "334\r\n";
inline constexpr char kSmtpReplyBadLogin[] = "500 Bad Login\r\n";
inline constexpr char kSmtpReplyAuthError[] = "500 Authentification error\r\n";
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
inline constexpr char kSmtpLogProgress[] = "\r%,D";
inline constexpr char kSmtpLogFinalCount[] = "\r%,D\n";
inline constexpr char kSmtpLogTimeLimit[] = "Session time limit reached\n";
