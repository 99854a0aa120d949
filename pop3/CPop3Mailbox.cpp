#include "pop3/CPop3Mailbox.h"

#include "pop3/CPop3MessageFile.h"

#include <set>

namespace {

// What a UIDL line can carry after "n ": printable bytes without blanks.
bool FitsUidLine(const CZelString& id)
{
    if (id.IsEmpty())
        return false;
    for (const char c : id.View()) {
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            return false;
    }
    return true;
}

} // namespace

CPop3Mailbox::CPop3Mailbox(int64_t accountId) : m_folder(accountId) {}

void CPop3Mailbox::Open()
{
    m_folder.Renumber();
    m_messages.clear();
    for (const CMailboxFolder::CEntry& entry : m_folder.List())
        m_messages.push_back(CMessage{entry, false});
    m_uniqueIds.reset();
}

int64_t CPop3Mailbox::VisibleCount() const
{
    int64_t count = 0;
    for (const CMessage& message : m_messages)
        count += message.marked ? 0 : 1;
    return count;
}

int64_t CPop3Mailbox::VisibleBytes() const
{
    int64_t bytes = 0;
    for (const CMessage& message : m_messages)
        bytes += message.marked ? 0 : message.entry.size;
    return bytes;
}

const CMailboxFolder::CEntry* CPop3Mailbox::Visible(int64_t n) const
{
    if (n < 1 || n > Positions() || m_messages[static_cast<size_t>(n - 1)].marked)
        return nullptr;
    return &m_messages[static_cast<size_t>(n - 1)].entry;
}

bool CPop3Mailbox::IsMarked(int64_t n) const
{
    return n >= 1 && n <= Positions() && m_messages[static_cast<size_t>(n - 1)].marked;
}

bool CPop3Mailbox::Mark(int64_t n)
{
    if (!Visible(n))
        return false;
    m_messages[static_cast<size_t>(n - 1)].marked = true;
    return true;
}

void CPop3Mailbox::ClearMarks()
{
    for (CMessage& message : m_messages)
        message.marked = false;
}

std::vector<int64_t> CPop3Mailbox::MarkedFileNumbers() const
{
    std::vector<int64_t> numbers;
    for (const CMessage& message : m_messages) {
        if (message.marked)
            numbers.push_back(message.entry.number);
    }
    return numbers;
}

CZelString CPop3Mailbox::UniqueId(int64_t n)
{
    if (!Visible(n))
        return CZelString();
    if (!m_uniqueIds)
        FindUniqueIds();
    return (*m_uniqueIds)[static_cast<size_t>(n - 1)];
}

CZelString CPop3Mailbox::ServerMessageId(int64_t n) const
{
    const CMailboxFolder::CEntry* entry = Visible(n);
    return entry ? m_folder.ReadId(entry->number) : CZelString();
}

void CPop3Mailbox::FindUniqueIds()
{
    // Every message of the list gets its id, marked ones too, so an id never depends on what
    // was marked when the client first asked.
    std::vector<CZelString> ids;
    std::set<CZelString> taken;
    for (const CMessage& message : m_messages) {
        CZelString id;
        CPop3MessageFile file;
        if (file.Open(m_folder.MessagePath(message.entry.number)))
            id = file.HeaderMessageId();
        if (!FitsUidLine(id) || taken.count(id)) {
            id = m_folder.ReadId(message.entry.number);
            if (!FitsUidLine(id) || taken.count(id))
                id = CZelString();
        }
        if (!id.IsEmpty())
            taken.insert(id);
        ids.push_back(id);
    }
    m_uniqueIds = std::move(ids);
}
