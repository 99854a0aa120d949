#pragma once
// CZelRefCounted and CZelRef: the one reference count of the library's shared bodies (string
// bodies, XML nodes, lock bodies) and the handle that holds one reference on such a body.
//
// A body derives from CZelRefCounted<Body>. Its count says how many holders it has; it starts at
// 0 (nobody holds a new body yet). The release of the last reference frees the body through
// `Body::Free(Body*)`: `delete` unless the body declares its own static Free (one that goes back
// to the allocator it came from, or frees a whole tree without recursion). The count is atomic,
// so handles on different threads may share a body; the body itself is not made thread-safe.

#include <atomic>
#include <cstdint>
#include <utility>

template<class T>
class CZelRef;

template<class Derived>
class CZelRefCounted {
public:
    CZelRefCounted(const CZelRefCounted&) = delete;
    CZelRefCounted& operator=(const CZelRefCounted&) = delete;

    void AddRef() noexcept { m_refs.fetch_add(1, std::memory_order_relaxed); }
    // Drops one reference; the last one frees the body.
    void Release() noexcept
    {
        if (DropRef())
            Derived::Free(static_cast<Derived*>(this));
    }
    // Drops one reference without freeing: true when it was the last, and the caller now frees
    // the body (a Free that walks a tree uses this on the children it reaches).
    [[nodiscard]] bool DropRef() noexcept { return m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1; }
    // A snapshot, for checks and tests; another thread may change it at once.
    int32_t RefCount() const noexcept { return m_refs.load(std::memory_order_relaxed); }

protected:
    CZelRefCounted() noexcept = default;
    ~CZelRefCounted() = default;
    static void Free(Derived* body) noexcept { delete body; }

private:
    template<class T>
    friend class CZelRef;

    std::atomic<int32_t> m_refs{0};
};

// Holds one reference on a body (or none). Copies share the body; the last holder frees it.
template<class T>
class CZelRef {
public:
    CZelRef() noexcept = default;
    CZelRef(std::nullptr_t) noexcept {}
    // Takes a further reference on `body` (null gives an empty handle).
    explicit CZelRef(T* body) noexcept : m_body(body)
    {
        if (m_body)
            m_body->AddRef();
    }
    // The first holder of a body that no other thread can see yet: its count goes from 0 to 1
    // with a plain store instead of an atomic increment (string bodies are made very often).
    static CZelRef Fresh(T* body) noexcept
    {
        CZelRef handle;
        if (body) {
            body->m_refs.store(1, std::memory_order_relaxed);
            handle.m_body = body;
        }
        return handle;
    }

    CZelRef(const CZelRef& other) noexcept : CZelRef(other.m_body) {}
    CZelRef(CZelRef&& other) noexcept : m_body(std::exchange(other.m_body, nullptr)) {}
    CZelRef& operator=(const CZelRef& other) noexcept
    {
        if (m_body != other.m_body)
            CZelRef(other).Swap(*this);
        return *this;
    }
    CZelRef& operator=(CZelRef&& other) noexcept
    {
        if (this != &other)
            CZelRef(std::move(other)).Swap(*this);
        return *this;
    }
    ~CZelRef()
    {
        if (m_body)
            m_body->Release();
    }

    T* Get() const noexcept { return m_body; }
    T* operator->() const noexcept { return m_body; }
    T& operator*() const noexcept { return *m_body; }
    explicit operator bool() const noexcept { return m_body != nullptr; }
    bool operator==(const CZelRef& other) const noexcept { return m_body == other.m_body; }
    bool operator==(std::nullptr_t) const noexcept { return m_body == nullptr; }

    void Reset() noexcept { CZelRef().Swap(*this); }
    void Swap(CZelRef& other) noexcept { std::swap(m_body, other.m_body); }

private:
    T* m_body = nullptr;
};
