#pragma once
// CZelUnivHash_New: a chained hash table with typed keys.
//
// Created with a size n (at least 2): it takes n entries before it grows and has n + n/10
// buckets. A new entry goes to the head of its bucket's chain. When a new entry finds the
// table full, the table is rebuilt at twice the size, re-inserting every entry walking the
// buckets in ascending order and each chain from its head, and then the entry is added.
// Walking visits buckets in ascending order and each chain from its head, so the order
// depends on the hashes and on the history of insertions; it is not sorted.
//
// Iterators register with their table: removing the entry an iterator stands on moves the
// iterator to the next entry; growth, Clear and TakeOver finish every live iterator.

#include "foundation/CZelString.h"

#include <cstdint>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

// The table's hash functions.
uint32_t ZelHashKey(const CZelString& key) noexcept;  // <= 4 bytes: little-endian number; else rotate-xor
uint32_t ZelHashBytes(const char* data, int32_t length) noexcept;
inline uint32_t ZelHashKey(uint32_t key) noexcept { return key; }
inline uint32_t ZelHashKey(int32_t key) noexcept { return static_cast<uint32_t>(key); }
inline uint32_t ZelHashKey(uint64_t key) noexcept { return static_cast<uint32_t>(key) ^ static_cast<uint32_t>(key >> 32); }
inline uint32_t ZelHashKey(int64_t key) noexcept { return ZelHashKey(static_cast<uint64_t>(key)); }
inline uint32_t ZelHashKey(const void* key) noexcept { return ZelHashKey(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key))); }

// Bucket count for a table of `size` entries.
inline int32_t ZelHashBucketCount(int32_t size) noexcept { return size + size / 10; }

enum class ZelInsertMode {
    AddIfAbsent,   // an existing key is left alone and reported
    ReplaceValue,  // an existing key keeps its key object and gets the new value
    ReplaceEntry,  // an existing key gets the new key object and the new value
};
enum class ZelInsertResult { Added, Exists, Replaced, Failed };

template<class K, class V>
class CZelUnivHash_New {
    struct Entry {
        Entry* next;
        uint32_t hash;  // kept so that growth and lookups do not hash keys again
        K key;
        V value;
    };

public:
    class Iterator;

    explicit CZelUnivHash_New(int32_t size = 16) { Create(size); }
    CZelUnivHash_New(const CZelUnivHash_New&) = delete;
    CZelUnivHash_New& operator=(const CZelUnivHash_New&) = delete;
    virtual ~CZelUnivHash_New()
    {
        Destroy();
        for (Iterator* it = m_iterators; it; it = it->m_nextIterator)
            it->m_table = nullptr;
    }

    // Keys without a ZelHashKey overload fall back to std::hash; a table whose keys have
    // neither must override Hash.
    virtual uint32_t Hash(const K& key) const
    {
        if constexpr (requires { ZelHashKey(key); })
            return ZelHashKey(key);
        else if constexpr (requires { std::hash<K>{}(key); })
            return static_cast<uint32_t>(std::hash<K>{}(key));
        else
            return 0;
    }
    // Takes the entries of `other`, which is left empty; this table's entries are dropped.
    virtual void TakeOver(CZelUnivHash_New& other)
    {
        if (&other == this)
            return;
        Destroy();
        m_buckets = std::exchange(other.m_buckets, nullptr);
        m_bucketCount = std::exchange(other.m_bucketCount, 0);
        m_count = std::exchange(other.m_count, 0);
        m_limit = other.m_limit;
        other.FinishIterators();
        other.Create(other.m_limit);
    }
    // Empties the table and gives it `size` (at least 2).
    virtual void Create(int32_t size)
    {
        Destroy();
        if (size < 2)
            size = 2;
        const int32_t buckets = ZelHashBucketCount(size);
        m_buckets = new (std::nothrow) Entry*[buckets]();
        m_bucketCount = m_buckets ? buckets : 0;
        m_limit = size;
    }
    virtual void Destroy()
    {
        FinishIterators();
        for (int32_t b = 0; b < m_bucketCount; ++b) {
            for (Entry* e = m_buckets[b]; e;) {
                Entry* next = e->next;
                delete e;
                e = next;
            }
        }
        delete[] m_buckets;
        m_buckets = nullptr;
        m_bucketCount = 0;
        m_count = 0;
    }

    ZelInsertResult Insert(const K& key, const V& value, ZelInsertMode mode = ZelInsertMode::AddIfAbsent)
    {
        const uint32_t hash = Hash(key);
        if (Entry* found = FindEntry(key, hash)) {
            if (mode == ZelInsertMode::AddIfAbsent)
                return ZelInsertResult::Exists;
            if (mode == ZelInsertMode::ReplaceEntry)
                found->key = key;
            found->value = value;
            return ZelInsertResult::Replaced;
        }
        if (m_count >= m_limit)
            Grow();
        if (!m_buckets)
            return ZelInsertResult::Failed;
        Entry* entry = new (std::nothrow) Entry{nullptr, hash, key, value};
        if (!entry)
            return ZelInsertResult::Failed;
        Link(entry);
        ++m_count;
        return ZelInsertResult::Added;
    }

    V* Find(const K& key) noexcept
    {
        Entry* e = FindEntry(key, Hash(key));
        return e ? &e->value : nullptr;
    }
    const V* Find(const K& key) const noexcept { return const_cast<CZelUnivHash_New*>(this)->Find(key); }
    bool Contains(const K& key) const noexcept { return Find(key) != nullptr; }

    bool Remove(const K& key)
    {
        if (!m_buckets)
            return false;
        const uint32_t hash = Hash(key);
        Entry** link = &m_buckets[hash % m_bucketCount];
        for (; *link; link = &(*link)->next) {
            if ((*link)->hash == hash && (*link)->key == key) {
                Entry* entry = *link;
                StepIteratorsOff(entry);
                *link = entry->next;
                delete entry;
                --m_count;
                return true;
            }
        }
        return false;
    }

    void Clear() { Create(m_limit); }

    int32_t Count() const noexcept { return m_count; }
    int32_t Size() const noexcept { return m_limit; }  // entries before the next growth
    int32_t BucketCount() const noexcept { return m_bucketCount; }

    // Walks the table in its walking order; `visit(key, value)`.
    template<class F>
    void ForEach(F&& visit) const
    {
        for (int32_t b = 0; b < m_bucketCount; ++b)
            for (Entry* e = m_buckets[b]; e; e = e->next)
                visit(static_cast<const K&>(e->key), static_cast<const V&>(e->value));
    }

    class Iterator {
    public:
        explicit Iterator(CZelUnivHash_New& table) : m_table(&table)
        {
            m_nextIterator = table.m_iterators;
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"  // the destructor takes it out again
#endif
            table.m_iterators = this;
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif
            Seek(0);
        }
        Iterator(const Iterator&) = delete;
        Iterator& operator=(const Iterator&) = delete;
        ~Iterator()
        {
            if (!m_table)
                return;
            for (Iterator** it = &m_table->m_iterators; *it; it = &(*it)->m_nextIterator) {
                if (*it == this) {
                    *it = m_nextIterator;
                    break;
                }
            }
        }

        bool AtEnd() const noexcept { return m_entry == nullptr; }
        explicit operator bool() const noexcept { return m_entry != nullptr; }
        const K& Key() const noexcept { return m_entry->key; }
        V& Value() const noexcept { return m_entry->value; }
        Iterator& operator++() noexcept
        {
            if (m_entry) {
                if (m_entry->next)
                    m_entry = m_entry->next;
                else
                    Seek(m_bucket + 1);
            }
            return *this;
        }

    private:
        friend class CZelUnivHash_New;
        void Seek(int32_t bucket) noexcept
        {
            m_entry = nullptr;
            if (!m_table)
                return;
            for (m_bucket = bucket; m_bucket < m_table->m_bucketCount; ++m_bucket) {
                if ((m_entry = m_table->m_buckets[m_bucket]))
                    return;
            }
        }

        CZelUnivHash_New* m_table;
        Iterator* m_nextIterator = nullptr;
        Entry* m_entry = nullptr;
        int32_t m_bucket = 0;
    };

private:
    Entry* FindEntry(const K& key, uint32_t hash) const noexcept
    {
        if (!m_buckets)
            return nullptr;
        for (Entry* e = m_buckets[hash % m_bucketCount]; e; e = e->next)
            if (e->hash == hash && e->key == key)
                return e;
        return nullptr;
    }

    void Link(Entry* entry) noexcept
    {
        Entry*& head = m_buckets[entry->hash % m_bucketCount];
        entry->next = head;
        head = entry;
    }

    // Twice the size, entries re-inserted in walking order. Without memory for the new
    // buckets the table stays as it is and simply runs fuller.
    void Grow()
    {
        if (m_limit > (INT32_MAX / 2) / 11 * 10)
            return;
        const int32_t size = m_limit * 2;
        const int32_t buckets = ZelHashBucketCount(size);
        Entry** fresh = new (std::nothrow) Entry*[buckets]();
        if (!fresh)
            return;
        FinishIterators();
        Entry** old = m_buckets;
        const int32_t oldCount = m_bucketCount;
        m_buckets = fresh;
        m_bucketCount = buckets;
        m_limit = size;
        for (int32_t b = 0; b < oldCount; ++b) {
            for (Entry* e = old[b]; e;) {
                Entry* next = e->next;
                Link(e);
                e = next;
            }
        }
        delete[] old;
    }

    void StepIteratorsOff(Entry* entry) noexcept
    {
        for (Iterator* it = m_iterators; it; it = it->m_nextIterator)
            if (it->m_entry == entry)
                ++*it;
    }

    void FinishIterators() noexcept
    {
        for (Iterator* it = m_iterators; it; it = it->m_nextIterator) {
            it->m_entry = nullptr;
            it->m_bucket = m_bucketCount;
        }
    }

    Entry** m_buckets = nullptr;
    int32_t m_bucketCount = 0;
    int32_t m_count = 0;
    int32_t m_limit = 2;
    Iterator* m_iterators = nullptr;
};

// The variant for keys that are objects, such as CZelString: the same table, keys passed
// and compared as objects.
template<class K, class V>
class CZelUnivHash_New_KeyIsClass : public CZelUnivHash_New<K, V> {
public:
    explicit CZelUnivHash_New_KeyIsClass(int32_t size = 16) : CZelUnivHash_New<K, V>(size) {}
};
