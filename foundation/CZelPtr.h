#pragma once
// CZelPtr: an owned, growable array of trivially copyable elements, used as the byte buffer of
// the formatter, the XML writer and the file reader. When an append does not fit, the capacity
// becomes twice the used length plus 2, at least 32 (and at least what the append needs). A
// capacity that cannot be had leaves the contents as they were and marks the buffer failed;
// later appends are then ignored.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

template<class T>
class CZelPtr {
    static_assert(std::is_trivially_copyable_v<T>, "CZelPtr holds plain elements");

public:
    static constexpr int32_t kMinCapacity = 32;
    static constexpr int32_t kMaxCapacity = INT32_MAX / static_cast<int32_t>(sizeof(T)) - 4;

    CZelPtr() noexcept = default;
    CZelPtr(const CZelPtr&) = delete;
    CZelPtr& operator=(const CZelPtr&) = delete;
    CZelPtr(CZelPtr&& other) noexcept { Swap(other); }
    CZelPtr& operator=(CZelPtr&& other) noexcept
    {
        CZelPtr(std::move(other)).Swap(*this);
        return *this;
    }
    ~CZelPtr() { std::free(m_data); }

    T* Data() noexcept { return m_data; }
    const T* Data() const noexcept { return m_data; }
    int32_t Length() const noexcept { return m_used; }
    int32_t Capacity() const noexcept { return m_capacity; }
    bool Failed() const noexcept { return m_failed; }
    T& operator[](int32_t index) noexcept { return m_data[index]; }
    const T& operator[](int32_t index) const noexcept { return m_data[index]; }

    // False when the buffer is (or now becomes) failed; nothing is appended then.
    bool Append(const T* items, int32_t count) noexcept
    {
        if (m_failed || count < 0)
            return false;
        if (count == 0)
            return true;
        if (!MakeRoom(count))
            return false;
        std::memcpy(m_data + m_used, items, sizeof(T) * static_cast<size_t>(count));
        m_used += count;
        return true;
    }
    bool Append(const T& item) noexcept { return Append(&item, 1); }
    // `count` copies of `item`.
    bool AppendRepeated(const T& item, int32_t count) noexcept
    {
        if (m_failed || count < 0)
            return false;
        if (count == 0)
            return true;
        if (!MakeRoom(count))
            return false;
        for (int32_t i = 0; i < count; ++i)
            m_data[m_used + i] = item;
        m_used += count;
        return true;
    }

    // Makes the capacity at least `capacity` without changing the contents.
    bool Reserve(int32_t capacity) noexcept
    {
        if (capacity <= m_capacity)
            return !m_failed;
        return !m_failed && Reallocate(capacity);
    }
    void Truncate(int32_t length) noexcept
    {
        if (length >= 0 && length < m_used)
            m_used = length;
    }
    void Clear() noexcept
    {
        std::free(m_data);
        m_data = nullptr;
        m_capacity = m_used = 0;
        m_failed = false;
    }
    void Swap(CZelPtr& other) noexcept
    {
        std::swap(m_data, other.m_data);
        std::swap(m_capacity, other.m_capacity);
        std::swap(m_used, other.m_used);
        std::swap(m_failed, other.m_failed);
    }

private:
    bool MakeRoom(int32_t count) noexcept
    {
        const int64_t needed = static_cast<int64_t>(m_used) + count;
        if (needed <= m_capacity)
            return true;
        int64_t capacity = 2 * static_cast<int64_t>(m_used) + 2;
        if (capacity < kMinCapacity)
            capacity = kMinCapacity;
        if (capacity < needed)
            capacity = needed;
        if (capacity > kMaxCapacity)
            capacity = kMaxCapacity;
        if (capacity < needed || !Reallocate(static_cast<int32_t>(capacity))) {
            m_failed = true;
            return false;
        }
        return true;
    }

    bool Reallocate(int32_t capacity) noexcept
    {
        void* fresh = std::realloc(m_data, sizeof(T) * static_cast<size_t>(capacity));
        if (!fresh)
            return false;
        m_data = static_cast<T*>(fresh);
        m_capacity = capacity;
        return true;
    }

    T* m_data = nullptr;
    int32_t m_capacity = 0;
    int32_t m_used = 0;
    bool m_failed = false;
};
