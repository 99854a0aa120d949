#pragma once
// CZelFdSockets: the socket set of one socket thread. It owns its sockets, keeps each one's
// interest word, and turns interest words into the readiness the platform is asked for
// (epoll, level-triggered). One Wait blocks until a socket is ready, the thread's wake handle
// fires or the time runs out.

#include "net/CZelSocket.h"

#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

class CZelFdSockets {
public:
    // A socket found ready by a wait; `id` finds it again (it may be gone by then).
    struct SReady {
        uint64_t id;
        uint32_t events;    // EPOLLIN, EPOLLOUT, EPOLLRDHUP, EPOLLERR, EPOLLHUP
    };

    CZelFdSockets();        // throws XTOOSockErr when the platform refuses a readiness set
    CZelFdSockets(const CZelFdSockets&) = delete;
    CZelFdSockets& operator=(const CZelFdSockets&) = delete;
    ~CZelFdSockets();       // destroys the sockets still in the set

    // Puts the socket in the set, which owns it from then on, and applies the interest word.
    // Gives the socket back for the caller's further calls. When the platform refuses the
    // interest word the socket is destroyed and the error thrown.
    template<std::derived_from<CZelSocket> T>
    T* AddSocket(std::unique_ptr<T> socket, uint32_t interest)
    {
        T* added = socket.get();
        Insert(std::move(socket), interest);
        return added;
    }
    // Takes the socket out and hands it back.
    std::unique_ptr<CZelSocket> RemoveSocket(CZelSocket* socket);
    // Takes the socket out now and destroys it once no handler of it runs any more
    // (FlushDiscarded); safe from inside the socket's own handlers.
    void DiscardSocket(CZelSocket* socket);
    void FlushDiscarded();
    void DeleteAllSockets();

    void ChangeInterest(CZelSocket* socket, uint32_t change);
    uint32_t Interest(const CZelSocket* socket) const;
    // The connection behind the socket is gone for good: no further events of any kind.
    void MarkHungUp(CZelSocket* socket);

    bool Contains(const CZelSocket* socket) const;
    CZelSocket* Find(uint64_t id) const;
    size_t Count() const { return m_byId.size(); }
    bool IsEmpty() const { return m_byId.empty(); }
    // The sockets in set order (the order they were added).
    std::vector<CZelSocket*> Sockets() const;

    // The thread's wake-up handle: its readiness is reported through `woken` of Wait.
    void WatchWakeHandle(int handle);
    // Waits up to `timeoutMs` (0 = only look). Failure throws XTOOSockErr "Select()".
    void Wait(int timeoutMs, std::vector<SReady>& ready, bool& woken);

private:
    struct Entry {
        std::unique_ptr<CZelSocket> socket;
        uint32_t interest = 0;
        uint32_t registered = 0;    // the readiness the platform was last asked for
        bool hungUp = false;
    };
    void Insert(std::unique_ptr<CZelSocket> socket, uint32_t interest);
    Entry* EntryOf(const CZelSocket* socket);
    const Entry* EntryOf(const CZelSocket* socket) const;
    uint32_t PlatformMask(const Entry& entry) const;
    void Register(uint64_t id, Entry& entry);
    void Unregister(Entry& entry);
    std::unique_ptr<CZelSocket> Take(CZelSocket* socket);

    int m_epoll = -1;
    uint64_t m_nextId = 1;          // 0 is the wake handle
    std::map<uint64_t, Entry> m_byId;
    std::unordered_map<const CZelSocket*, uint64_t> m_ids;
    std::vector<std::unique_ptr<CZelSocket>> m_discarded;
    std::vector<struct epoll_event> m_events;
};
