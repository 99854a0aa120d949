#pragma once
// StartPop3Transfers: the inbox download loop, the body of the service thread in mode 4. Each
// pass (at start, whenever a login queues messages, and when a message's retry pause is over)
// walks every account's receive queue in order: fetches the head message in blocks, verifies
// and opens it, rewrites its header, stores it, and takes it out of the queue.
//
// A message that must wait ("try again later") keeps its place and its held bytes; the pass
// moves on to the other accounts, and the message is tried again after the retry pause (120 s,
// VELMO_DOWNLOAD_RETRY_MS shortens it). A stop request ends the loop within a poll interval.

class CProtocolListData;
class CZelStartServerThread;

void StartPop3Transfers(CZelStartServerThread& self);
// The same, writing to `log` instead of the POP3 log.
void StartPop3Transfers(CZelStartServerThread& self, CProtocolListData& log);
