#pragma once
// CPop3Mailbox: the messages one POP3 session serves. The folder is renumbered at login and
// then listed once: every message number the client uses is a position in that list, for the
// whole session. Messages the download stores meanwhile wait for the next session, and a
// message marked for deletion is hidden from every command until RSET clears the marks or QUIT
// removes it.
//
// Unique ids: the message's own "Message-ID:" header, or the central server's id of the message
// (its ".id" file) when the header has none, names one message more than once, or holds bytes
// that cannot stand in a UIDL line; every id of the list is different, so a client that keeps
// mail on the server never takes one message for another it has seen.

#include "foundation/CZelString.h"
#include "pop3/CMailboxFolder.h"

#include <cstdint>
#include <optional>
#include <vector>

class CPop3Mailbox {
public:
    explicit CPop3Mailbox(int64_t accountId);

    // Renumbers the stored messages and takes the session's list.
    void Open();

    const CMailboxFolder& Folder() const { return m_folder; }
    // Positions 1..Positions() of the list, marked ones included.
    int32_t Positions() const { return static_cast<int32_t>(m_messages.size()); }
    // The messages not marked: how many, and their sizes on disk together.
    int64_t VisibleCount() const;
    int64_t VisibleBytes() const;

    // Position n when it exists and is not marked; null otherwise.
    const CMailboxFolder::CEntry* Visible(int64_t n) const;
    bool IsMarked(int64_t n) const;
    // Marks a visible message; false when n is no such message.
    bool Mark(int64_t n);
    void ClearMarks();
    // The file numbers of the marked messages, in list order.
    std::vector<int64_t> MarkedFileNumbers() const;

    // The unique id of a visible message; empty when it has none.
    CZelString UniqueId(int64_t n);
    // The central server's id of a visible message; empty when it cannot be read.
    CZelString ServerMessageId(int64_t n) const;

private:
    struct CMessage {
        CMailboxFolder::CEntry entry;
        bool marked = false;
    };
    void FindUniqueIds();

    CMailboxFolder m_folder;
    std::vector<CMessage> m_messages;
    // Made on first use: the headers are read only for a client that asks.
    std::optional<std::vector<CZelString>> m_uniqueIds;
};
