#pragma once
// The incoming-mail side's own words: the texts the POP3 listener and its sessions send to the
// mail client and write to the POP3 log, and the limits and time-outs they keep, each written
// once. The words shared with the central server are in ZelProtocolVocabulary.h.

#include <cstdint>

// ============================================================================================
// Limits and time-outs
// ============================================================================================

// One read: up to and including the first CR LF, never more than this.
inline constexpr int kPop3ReadLimit = 65536;
// Every read of a line, and every reply but the message texts.
inline constexpr int kPop3ReadTimeoutMs = 900000;
inline constexpr int kPop3WriteTimeoutMs = 900000;
// Each piece of a TOP answer.
inline constexpr int kPop3TopWriteTimeoutMs = 300000;
// Each piece of a RETR answer: the answer as a whole has no limit, but a client that takes
// nothing for this long is given up.
inline constexpr int kPop3RetrieveWriteTimeoutMs = 60000;
// A message text is read from its file and sent in pieces of about this size, so a session
// holds a small buffer whatever the size of the message.
inline constexpr int kPop3TextPieceBytes = 65536;
// A header line longer than this is looked at only up to here when a message's unique id is
// sought.
inline constexpr int kPop3HeaderLineLimit = 65536;
// A TOP answer goes to the log up to this many bytes: a message without a blank line is all
// header, and the log is no place for a whole message.
inline constexpr int kPop3AnswerLogLimit = 65536;
// Accept failures over the server's life that end it.
inline constexpr int kPop3AcceptFailureLimit = 10;
// The accept waits in slices this long, so a stop request ends the server promptly and ended
// sessions are reaped while nobody connects.
inline constexpr int kPop3AcceptSliceMs = 200;
// Sessions served at the same time; a connection beyond them is turned away at once, so idle
// or hostile clients can never use up the process's threads.
inline constexpr int kPop3SessionLimit = 32;
// How long the listener waits for its sessions to end after it has aborted their connections.
inline constexpr int kPop3SessionStopWaitMs = 10000;
// 127.0.0.1, first octet in the most significant byte.
inline constexpr uint32_t kPop3LoopbackAddress = 0x7F000001u;

// ============================================================================================
// The dialogue
// ============================================================================================

// --- Commands, compared upper-cased ---
inline constexpr char kPop3CmdUser[] = "USER";
inline constexpr char kPop3CmdPass[] = "PASS";
inline constexpr char kPop3CmdAuth[] = "AUTH";
inline constexpr char kPop3CmdAuthWithArgument[] = "AUTH ";
inline constexpr char kPop3CmdApop[] = "APOP";
inline constexpr char kPop3CmdQuit[] = "QUIT";
inline constexpr char kPop3CmdCapa[] = "CAPA";
inline constexpr char kPop3CmdStls[] = "STLS";
inline constexpr char kPop3CmdStat[] = "STAT";
inline constexpr char kPop3CmdList[] = "LIST";
inline constexpr char kPop3CmdRetr[] = "RETR";
inline constexpr char kPop3CmdDele[] = "DELE";
inline constexpr char kPop3CmdRset[] = "RSET";
inline constexpr char kPop3CmdUidl[] = "UIDL";
inline constexpr char kPop3CmdTop[] = "TOP";
inline constexpr char kPop3CmdNoop[] = "NOOP";
inline constexpr char kPop3LineEnd[] = "\r\n";

// --- Replies ---
inline constexpr char kPop3ReplyGreeting[] = "+OK Tandrill POP3 secure mail server at %S is ready\r\n";
inline constexpr char kPop3UnknownHost[] = "<unknown>";
// Everything the server does, so that clients which honour the list use it all: TOP above all,
// without which mutt-family clients refuse the mailbox. Commands sent in one write are read
// and answered one after the other, each answer whole, so PIPELINING holds.
inline constexpr char kPop3ReplyCapabilities[] =
    "+OK Capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\nRESP-CODES\r\nPIPELINING\r\n"
    "IMPLEMENTATION Velmo\r\n.\r\n";
// Before USER, on a connection that can still be protected.
inline constexpr char kPop3ReplyCapabilitiesWithStls[] =
    "+OK Capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\nRESP-CODES\r\nPIPELINING\r\n"
    "IMPLEMENTATION Velmo\r\nSTLS\r\n.\r\n";
inline constexpr char kPop3ReplyBeginTls[] = "+OK Begin TLS negotiation\r\n";
// USER and PASS over the network in the clear: passwords only ever cross a protected
// connection.
inline constexpr char kPop3ReplyTlsRequired[] = "-ERR TLS required\r\n";
// STLS where it cannot be granted: the gateway has no usable certificate, or the connection
// is protected already.
inline constexpr char kPop3ReplyTlsUnavailable[] = "-ERR TLS not available\r\n";
inline constexpr char kPop3ReplyAuthNotSupported[] = "-ERR authenticated mechanism is not supported\r\n";
inline constexpr char kPop3ReplyUserRequired[] = "-ERR USER command is required\r\n";
// The response codes in brackets tell a client why, so it prompts for the password ([AUTH]),
// tries again later ([IN-USE], [SYS/TEMP]) or gives up.
inline constexpr char kPop3ReplyBadLogin[] = "-ERR [AUTH] Bad Login\r\n";
inline constexpr char kPop3ReplyAccountBusy[] = "-ERR [IN-USE] Account is busy\r\n";
inline constexpr char kPop3ReplyNeedPassword[] = "+OK user name is valid, need password\r\n";
inline constexpr char kPop3ReplyPassRequired[] = "-ERR PASS command is required\r\n";
inline constexpr char kPop3ReplyAuthError[] = "-ERR [AUTH] Authentification error\r\n";
// The central server refused the account's standing: no retry will help.
inline constexpr char kPop3ReplyStatusOther[] = "-ERR [AUTH] Authentification successfull, but opetated status is %S\r\n";
// The central server did not say: it could not be reached or did not answer.
inline constexpr char kPop3ReplyStatusUnknown[] = "-ERR [SYS/TEMP] Authentification successfull, but opetated status is unknown\r\n";
inline constexpr char kPop3OperatedStatusNormal[] = "Normal";
inline constexpr char kPop3ReplyLocked[] = "+OK mailbox locked and ready\r\n";
inline constexpr char kPop3ReplyGoodbye[] = "+OK Goodbye\r\n";
inline constexpr char kPop3ReplyNotRemoved[] = "-ERR some deleted messages not removed\r\n";
inline constexpr char kPop3ReplyOk[] = "+OK\r\n";
inline constexpr char kPop3ReplyError[] = "-ERR\r\n";
inline constexpr char kPop3ReplyUnknownCommand[] = "-ERR unknown command\r\n";
inline constexpr char kPop3ReplyNotSupported[] = "-ERR not supported\r\n";
inline constexpr char kPop3ReplyStat[] = "+OK %D %D\r\n";
// LIST: the count and total, one line per message, the end; LIST n on one line.
inline constexpr char kPop3ReplyListHead[] = "+OK %D %D\r\n";
inline constexpr char kPop3ReplyListLine[] = "%D %D\r\n";
inline constexpr char kPop3ReplyListOne[] = "+OK %D %D\r\n";
inline constexpr char kPop3ReplyListNoSuch[] = "-ERR no such message, only %d messages in mailbox\r\n";
inline constexpr char kPop3ReplyRetrieve[] = "+OK %D bytes\r\n";
inline constexpr char kPop3ReplyRetrieveNoSuch[] = "-ERR no such message in mailbox\r\n";
inline constexpr char kPop3ReplyMarked[] = "+OK message %d is marked for deleting\r\n";
inline constexpr char kPop3ReplyAlreadyDeleted[] = "-ERR message %d is already deleted\r\n";
inline constexpr char kPop3ReplyNoSuchMessage[] = "-ERR no such message\r\n";
// UIDL: the list's lines, and UIDL n on one line.
inline constexpr char kPop3ReplyUidLine[] = "%d %S\r\n";
inline constexpr char kPop3ReplyUidOne[] = "+OK %d %S\r\n";
// Closes every answer of several lines: lists, TOP and RETR.
inline constexpr char kPop3ReplyEndMark[] = ".\r\n";
inline constexpr char kPop3ReplyTooManySessions[] = "-ERR too many sessions, try again later\r\n";

// --- Reading a message ---
// The header whose value is a message's unique id, compared without regard to case.
inline constexpr char kPop3MessageIdHeader[] = "Message-ID:";
// The blanks trimmed around its value.
inline constexpr char kPop3HeaderBlanks[] = " \t";

// ============================================================================================
// The POP3 log
// ============================================================================================

inline constexpr char kPop3LogTextLine[] = "%S\n";
inline constexpr char kPop3LogTimeOut[] = "time out\n";
// Why a session ended when the client took nothing for the write's time-out.
inline constexpr char kPop3TextTimeOut[] = "time out";
inline constexpr char kPop3LogQuit[] = "quit\n";
inline constexpr char kPop3LogError[] = "error\n";
// What stands in the log for a secret the client sent: the argument of PASS, an AUTH
// command's initial response, a name that is no login of this machine, a line of no command
// before the login.
inline constexpr char kPop3LogSecret[] = "********";
inline constexpr char kPop3LogAccepting[] = "Accepting connection to a port %d...\n";
// The listening socket could not be opened: the socket error's text follows.
inline constexpr char kPop3LogListenFailed[] = "error: n=%d %S\n";
inline constexpr int kPop3ListenFailureNumber = 1;
inline constexpr char kPop3LogBadPort[] = "POP3 server port %d is outside 1-65535; the server is not started\n";
inline constexpr char kPop3LogTooManyAcceptFailures[] = "Too many failed connections; the POP3 server ends\n";
inline constexpr char kPop3LogTooManySessions[] = "Too many POP3 sessions at once; a connection is turned away\n";
// A message file that changed while it was being sent: the client gets no end mark and the
// connection is closed, so it never takes a damaged text for the message.
inline constexpr char kPop3LogMessageChanged[] = "Message file %S changed while it was sent; the session ends\n";
// A retrieval whose history entry could not be written (the message is still served).
inline constexpr char kPop3LogHistoryFailed[] = "Message history of %08D could not be saved\n";
