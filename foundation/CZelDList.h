#pragma once
// CZelDList: an intrusive doubly linked list. Elements derive from CZelDLink and sit in at
// most one list at a time; appending and unlinking take constant time; order is insertion
// order. When the list is cleared or destroyed, each element is handed to DisposeElement
// (CZelDList leaves it alone, CZelDListAD deletes it).

#include <cstddef>
#include <cstdint>
#include <iterator>

class CZelDListBase;

class CZelDLink {
public:
    CZelDLink() noexcept = default;
    CZelDLink(const CZelDLink&) = delete;
    CZelDLink& operator=(const CZelDLink&) = delete;
    virtual ~CZelDLink();  // an element destroyed while linked leaves its list first

    CZelDLink* NextLink() const noexcept { return m_next; }
    CZelDLink* PrevLink() const noexcept { return m_prev; }
    CZelDListBase* Owner() const noexcept { return m_list; }
    bool IsLinked() const noexcept { return m_list != nullptr; }
    void Unlink() noexcept;  // no effect when not linked

private:
    friend class CZelDListBase;
    CZelDLink* m_next = nullptr;
    CZelDLink* m_prev = nullptr;
    CZelDListBase* m_list = nullptr;
};

// The untyped list; CZelDList<T> adds the element type.
class CZelDListBase {
public:
    CZelDListBase() noexcept = default;
    CZelDListBase(const CZelDListBase&) = delete;
    CZelDListBase& operator=(const CZelDListBase&) = delete;
    virtual ~CZelDListBase();  // unlinks what is left without disposing of it
    virtual void DisposeElement(CZelDLink* element);  // default: nothing (the caller owns it)

    // An element already in a list (this one or another) is moved.
    void Append(CZelDLink* element) noexcept;
    void Prepend(CZelDLink* element) noexcept;
    void InsertAfter(CZelDLink* position, CZelDLink* element) noexcept;  // null position = front
    bool Remove(CZelDLink* element) noexcept;  // false when the element is not in this list
    void Clear();  // unlinks every element, then disposes of it

    CZelDLink* FirstLink() const noexcept { return m_first; }
    CZelDLink* LastLink() const noexcept { return m_last; }
    size_t Count() const noexcept { return m_count; }
    bool IsEmpty() const noexcept { return m_count == 0; }

private:
    void Link(CZelDLink* prev, CZelDLink* element) noexcept;

    CZelDLink* m_first = nullptr;
    CZelDLink* m_last = nullptr;
    size_t m_count = 0;
};

template<class T>
class CZelDList : public CZelDListBase {
public:
    class Iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = T*;
        using reference = T&;

        explicit Iterator(CZelDLink* link = nullptr) noexcept : m_link(link) {}
        T& operator*() const noexcept { return *static_cast<T*>(m_link); }
        T* operator->() const noexcept { return static_cast<T*>(m_link); }
        Iterator& operator++() noexcept { m_link = m_link->NextLink(); return *this; }
        Iterator operator++(int) noexcept { Iterator old = *this; ++*this; return old; }
        bool operator==(const Iterator& other) const noexcept { return m_link == other.m_link; }

    private:
        CZelDLink* m_link;
    };

    ~CZelDList() override { Clear(); }

    T* First() const noexcept { return static_cast<T*>(FirstLink()); }
    T* Last() const noexcept { return static_cast<T*>(LastLink()); }
    static T* Next(const T* element) noexcept { return static_cast<T*>(element->NextLink()); }
    static T* Prev(const T* element) noexcept { return static_cast<T*>(element->PrevLink()); }

    Iterator begin() const noexcept { return Iterator(FirstLink()); }
    Iterator end() const noexcept { return Iterator(); }
};

// The list that owns its elements: clearing or destroying it deletes them.
template<class T>
class CZelDListAD : public CZelDList<T> {
public:
    ~CZelDListAD() override { this->Clear(); }
    void DisposeElement(CZelDLink* element) override { delete static_cast<T*>(element); }
};

// A list element that carries a value, for lists of things that are not links themselves.
template<class V>
class CZelDItem : public CZelDLink {
public:
    template<class... A>
    explicit CZelDItem(A&&... args) : value(static_cast<A&&>(args)...) {}
    V value;
};
