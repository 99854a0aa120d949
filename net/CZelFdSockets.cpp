#include "net/CZelFdSockets.h"

#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"
#include "net/ZelSockets.h"

#include <cerrno>
#include <sys/epoll.h>
#include <unistd.h>

namespace {
constexpr uint64_t kWakeId = 0;
}

CZelFdSockets::CZelFdSockets()
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll < 0)
        throw XTOOSockErr("epoll_create1()", nullptr, CZelString(), errno);
    m_events.resize(16);
}

CZelFdSockets::~CZelFdSockets()
{
    DeleteAllSockets();
    if (m_epoll >= 0)
        ::close(m_epoll);
}

CZelFdSockets::Entry* CZelFdSockets::EntryOf(const CZelSocket* socket)
{
    const auto id = m_ids.find(socket);
    return id == m_ids.end() ? nullptr : &m_byId[id->second];
}

const CZelFdSockets::Entry* CZelFdSockets::EntryOf(const CZelSocket* socket) const
{
    const auto id = m_ids.find(socket);
    return id == m_ids.end() ? nullptr : &m_byId.at(id->second);
}

void CZelFdSockets::Insert(std::unique_ptr<CZelSocket> owned, uint32_t interest)
{
    CZelSocket* socket = owned.get();
    if (!socket)
        return;
    if (ZelSockTraceOn(3))
        ZelSockTrace(3, Format("%p: AddSocket %p\n", static_cast<const void*>(this), static_cast<const void*>(socket)));
    // A socket some set already holds has one owner only, whoever hands it in: here it keeps
    // its place and takes the new interest word; from another set it moves over.
    if (Entry* known = EntryOf(socket)) {
        owned.release();
        known->interest = interest;
        Register(m_ids[socket], *known);
        return;
    }
    if (socket->m_set)
        socket->m_set->Take(socket).release();
    if (m_events.size() < m_byId.size() + 2)
        m_events.resize(m_byId.size() * 2 + 2);
    const uint64_t id = m_nextId;
    m_ids[socket] = id;
    Entry* entry;
    try {
        entry = &m_byId[id];
    } catch (...) {
        m_ids.erase(socket);
        throw;
    }
    ++m_nextId;
    entry->socket = std::move(owned);
    entry->interest = interest;
    socket->m_set = this;
    try {
        Register(id, *entry);
    } catch (...) {
        Take(socket);
        throw;
    }
}

std::unique_ptr<CZelSocket> CZelFdSockets::Take(CZelSocket* socket)
{
    const auto id = m_ids.find(socket);
    if (id == m_ids.end())
        return nullptr;
    const auto found = m_byId.find(id->second);
    Unregister(found->second);
    std::unique_ptr<CZelSocket> owned = std::move(found->second.socket);
    m_byId.erase(found);
    m_ids.erase(id);
    owned->m_set = nullptr;
    return owned;
}

std::unique_ptr<CZelSocket> CZelFdSockets::RemoveSocket(CZelSocket* socket)
{
    return Take(socket);
}

void CZelFdSockets::DiscardSocket(CZelSocket* socket)
{
    if (auto owned = Take(socket))
        m_discarded.push_back(std::move(owned));
}

void CZelFdSockets::FlushDiscarded()
{
    // A destructor may discard further sockets; take them in turns.
    while (!m_discarded.empty()) {
        std::vector<std::unique_ptr<CZelSocket>> batch;
        batch.swap(m_discarded);
        batch.clear();
    }
}

void CZelFdSockets::DeleteAllSockets()
{
    while (!m_byId.empty())
        DiscardSocket(m_byId.begin()->second.socket.get());
    FlushDiscarded();
}

void CZelFdSockets::ChangeInterest(CZelSocket* socket, uint32_t change)
{
    Entry* entry = EntryOf(socket);
    if (!entry)
        return;
    const uint32_t updated = zelsock::ApplyChangeWord(entry->interest, change);
    if (updated == entry->interest)
        return;
    entry->interest = updated;
    Register(m_ids[socket], *entry);
}

uint32_t CZelFdSockets::Interest(const CZelSocket* socket) const
{
    const Entry* entry = EntryOf(socket);
    return entry ? entry->interest : 0;
}

void CZelFdSockets::MarkHungUp(CZelSocket* socket)
{
    Entry* entry = EntryOf(socket);
    if (!entry || entry->hungUp)
        return;
    entry->hungUp = true;
    Unregister(*entry);
}

bool CZelFdSockets::Contains(const CZelSocket* socket) const
{
    return m_ids.count(socket) != 0;
}

CZelSocket* CZelFdSockets::Find(uint64_t id) const
{
    const auto found = m_byId.find(id);
    return found == m_byId.end() ? nullptr : found->second.socket.get();
}

std::vector<CZelSocket*> CZelFdSockets::Sockets() const
{
    std::vector<CZelSocket*> sockets;
    sockets.reserve(m_byId.size());
    for (const auto& [id, entry] : m_byId)
        sockets.push_back(entry.socket.get());
    return sockets;
}

// Readiness asked of the platform: reading (with the peer's close for a TCP socket), accepting
// for a listening socket, writing; only the connect while one is in progress; nothing while
// suspended or once the connection is gone.
uint32_t CZelFdSockets::PlatformMask(const Entry& entry) const
{
    const uint32_t interest = entry.interest;
    if (entry.hungUp || (interest & zelsock::kSuspended) || entry.socket->Handle() < 0)
        return 0;
    if (interest & zelsock::kConnecting)
        return EPOLLOUT;
    uint32_t mask = 0;
    if ((interest & zelsock::kWantRead) && !(interest & zelsock::kPeerCloseSeen)) {
        if (entry.socket->IsListening() || !entry.socket->IsTcp())
            mask |= EPOLLIN;
        else
            mask |= EPOLLIN | EPOLLRDHUP;
    }
    if (interest & zelsock::kWantWrite)
        mask |= EPOLLOUT;
    return mask;
}

void CZelFdSockets::Register(uint64_t id, Entry& entry)
{
    const uint32_t mask = PlatformMask(entry);
    if (mask == entry.registered)
        return;
    if (mask == 0) {
        Unregister(entry);
        return;
    }
    epoll_event event{};
    event.events = mask;
    event.data.u64 = id;
    const int op = entry.registered == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    if (::epoll_ctl(m_epoll, op, entry.socket->Handle(), &event) != 0) {
        const int code = errno;
        throw XTOOSockErr("epoll_ctl()", entry.socket.get(), entry.socket->Name(), code);
    }
    entry.registered = mask;
}

void CZelFdSockets::Unregister(Entry& entry)
{
    if (entry.registered == 0)
        return;
    if (entry.socket->Handle() >= 0)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, entry.socket->Handle(), nullptr);
    entry.registered = 0;
}

void CZelFdSockets::WatchWakeHandle(int handle)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeId;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, handle, &event) != 0)
        throw XTOOSockErr("epoll_ctl()", nullptr, CZelString(), errno);
}

void CZelFdSockets::Wait(int timeoutMs, std::vector<SReady>& ready, bool& woken)
{
    ready.clear();
    woken = false;
    const int count = ::epoll_wait(m_epoll, m_events.data(), static_cast<int>(m_events.size()), timeoutMs);
    if (count < 0) {
        if (errno == EINTR)
            return;
        throw XTOOSockErr("Select()", nullptr, CZelString(), errno);
    }
    for (int i = 0; i < count; ++i) {
        if (m_events[i].data.u64 == kWakeId)
            woken = true;
        else
            ready.push_back(SReady{m_events[i].data.u64, m_events[i].events});
    }
}
