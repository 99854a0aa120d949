#pragma once
// The body behind CZelXmlNode handles and the name-indexed lists it keeps. Library-internal:
// used by the node, the parser, the writer and the document.

#include "foundation/CZelXmlNode.h"

#include "foundation/CZelRefCounted.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

// Position-by-name lookup over a list whose entries each have a `name` member. Short lists are
// scanned (as fast as hashing for a dozen names, and no table to allocate per node); past
// kScanLimit entries an open-addressing table of positions takes over, kept at most half full.
class CZelXmlNameIndex {
public:
    static constexpr size_t kScanLimit = 16;

    template <class Entry>
    int32_t Find(const std::vector<Entry>& list, const CZelString& name) const noexcept
    {
        if (!m_slots) {
            for (size_t i = 0; i < list.size(); ++i)
                if (list[i].name == name)
                    return static_cast<int32_t>(i);
            return -1;
        }
        for (uint32_t slot = Hash(name.View()) & m_mask;; slot = (slot + 1) & m_mask) {
            const int32_t position = m_slots[slot];
            if (position < 0 || list[static_cast<size_t>(position)].name == name)
                return position;
        }
    }

    // The list's last entry was just appended.
    template <class Entry>
    void Appended(const std::vector<Entry>& list)
    {
        const size_t count = list.size();
        if (!m_slots ? count > kScanLimit : count * 2 > static_cast<size_t>(m_mask) + 1) {
            Rebuild(list);
            return;
        }
        if (m_slots)
            Place(Hash(list.back().name.View()), static_cast<int32_t>(count - 1));
    }

    // After entries were removed or reordered. A list that shrank keeps its table, so this
    // allocates only when the list grew.
    template <class Entry>
    void Rebuild(const std::vector<Entry>& list)
    {
        if (list.size() <= kScanLimit) {
            Clear();
            return;
        }
        size_t buckets = m_slots ? static_cast<size_t>(m_mask) + 1 : 16;
        while (buckets < list.size() * 2)
            buckets *= 2;
        if (!m_slots || buckets != static_cast<size_t>(m_mask) + 1) {
            m_slots.reset(new int32_t[buckets]);
            m_mask = static_cast<uint32_t>(buckets - 1);
        }
        for (size_t i = 0; i < buckets; ++i)
            m_slots[i] = -1;
        for (size_t i = 0; i < list.size(); ++i)
            Place(Hash(list[i].name.View()), static_cast<int32_t>(i));
    }

    void Clear() noexcept
    {
        m_slots.reset();
        m_mask = 0;
    }

    static uint32_t Hash(std::string_view bytes) noexcept
    {
        uint32_t hash = 2166136261u;
        for (unsigned char byte : bytes)
            hash = (hash ^ byte) * 16777619u;
        return hash;
    }

private:
    void Place(uint32_t hash, int32_t position) noexcept
    {
        uint32_t slot = hash & m_mask;
        while (m_slots[slot] >= 0)
            slot = (slot + 1) & m_mask;
        m_slots[slot] = position;
    }

    std::unique_ptr<int32_t[]> m_slots;
    uint32_t m_mask = 0;
};

// One name/value pair. A value read from a document stays a reference into the document's text
// (which the node keeps alive) until it is replaced, so parsing allocates nothing per value;
// the value is made into a string when asked for.
struct CZelXmlAttr {
    CZelString name;
    CZelString value;               // the value, unless `raw` is set
    const char* raw = nullptr;      // else the bytes between the quotes in the source text
    int32_t rawLength = 0;
    bool rawEncoded = false;        // the raw bytes hold entities still to decode
    bool rawCanonical = false;      // the raw bytes are exactly what the writer would write

    std::string_view RawView() const noexcept { return {raw, static_cast<size_t>(rawLength)}; }
    CZelString Value() const;
    bool ValueEquals(const CZelString& other) const;
    bool ValueEmpty() const noexcept { return raw ? rawLength == 0 : value.IsEmpty(); }
};

// An ordered name/value list with unique names: the attributes and the text values of a node.
class CZelXmlAttrList {
public:
    size_t Count() const noexcept { return m_items.size(); }
    bool Empty() const noexcept { return m_items.empty(); }
    const CZelXmlAttr& At(size_t index) const noexcept { return m_items[index]; }
    const std::vector<CZelXmlAttr>& Items() const noexcept { return m_items; }

    const CZelXmlAttr* Find(const CZelString& name) const noexcept;
    // Attribute rule: a replaced entry leaves its place and the new one goes to the end.
    void SetMovingToEnd(CZelXmlAttr entry);
    // Text value rule: a replaced entry keeps its place.
    void SetInPlace(CZelXmlAttr entry);
    // For an entry whose name the caller knows to be new.
    void AppendUnique(CZelXmlAttr entry);
    bool Remove(const CZelString& name);
    // Takes over `other`'s entries with an exact-size allocation; `other` is left empty but keeps
    // its capacity, so a parser can reuse it as scratch for the next tag.
    void TakeExact(CZelXmlAttrList& other);
    void CopyFrom(const CZelXmlAttrList& other);
    // For conversions that rewrite values in place (names and order stay).
    void SetValueAt(size_t index, const CZelString& value)
    {
        m_items[index].value = value;
        m_items[index].raw = nullptr;
    }
    void Clear() noexcept;

private:
    std::vector<CZelXmlAttr> m_items;
    CZelXmlNameIndex m_index;
};

// For each child name: the first child of that name in list order and how many there are.
struct CZelXmlChildName {
    CZelString name;
    CZelXmlNodeImpl* first = nullptr;
    int32_t count = 0;
};

// A node's count holds one reference for each handle and one for its parent. Nodes that are
// being built and not yet linked into a tree are held by a std::unique_ptr: a failure on the way
// deletes them, and linking hands them to the parent.
struct CZelXmlNodeImpl : CZelRefCounted<CZelXmlNodeImpl> {
    int32_t kind = CZelXmlNode::kElement;
    CZelString name;
    CZelString source;                      // the parsed text that raw values point into
    CZelXmlNodeImpl* parent = nullptr;      // the parent holds one reference on each child
    CZelXmlNodeImpl* prev = nullptr;
    CZelXmlNodeImpl* next = nullptr;
    CZelXmlNodeImpl* firstChild = nullptr;
    CZelXmlNodeImpl* lastChild = nullptr;
    int32_t childCount = 0;
    CZelXmlAttrList attrs;
    CZelXmlAttrList texts;
    std::vector<CZelXmlChildName> childNames;
    CZelXmlNameIndex childNameIndex;

    CZelXmlNodeImpl(int32_t nodeKind, const CZelString& nodeName) : kind(nodeKind), name(nodeName) {}

    // A new node held by its first handle.
    static CZelXmlNode New(int32_t nodeKind, const CZelString& nodeName)
    {
        return CZelXmlNode(CZelRef<CZelXmlNodeImpl>::Fresh(new CZelXmlNodeImpl(nodeKind, nodeName)));
    }
    // Frees the node, which nothing refers to any more, and without recursion every descendant
    // that no handle keeps alive.
    static void Free(CZelXmlNodeImpl* node) noexcept;

    // Links a node that nothing refers to yet as the last child; on failure the node is freed
    // and nothing changes. Gives the node, now held by this one.
    CZelXmlNodeImpl* Adopt(std::unique_ptr<CZelXmlNodeImpl> child);
    // Appends a node without a parent, without the loop checks of AddChild.
    void AppendChild(CZelXmlNodeImpl* child);
    // Unlinks a child of this node and drops the parent's reference on it.
    void UnlinkChild(CZelXmlNodeImpl* child) noexcept;
    bool IsSelfOrAncestor(const CZelXmlNodeImpl* node) const noexcept;
    void RenameTo(const CZelString& newName);
    // Copy of kind, name, attributes and text values; with `deep` also of all descendants
    // (iteratively, so depth is no limit). The copy has no parent.
    CZelRef<CZelXmlNodeImpl> Copy(bool deep) const;

private:
    CZelXmlChildName* ChildNameEntry(const CZelString& childName) noexcept;
    void IndexChild(CZelXmlNodeImpl* child);
    void UnindexChild(CZelXmlNodeImpl* child) noexcept;
};
