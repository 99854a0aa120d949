#pragma once
// CZelXmlNode: a handle on one node of an XML tree. Copies share the node; the node lives while
// a handle or its parent refers to it (atomic counts, so handles may cross threads, but one tree
// is changed by one thread at a time). A null handle answers every query with "", false or a
// null handle, and every change on it does nothing and returns false.
//
// Data lives in attributes (ordered, unique names). An element that holds only text,
// <Name>text</Name>, is kept as a "text value" of its parent: a second ordered name/value list.

#include "foundation/CZelRefCounted.h"
#include "foundation/CZelString.h"

#include <cstdint>
#include <utility>

struct CZelXmlNodeImpl;
class CZelXmlAttrRef;

class CZelXmlNode {
public:
    enum Kind : int32_t { kNone = -1, kDocument = 0, kDeclaration = 1, kElement = 3 };

    CZelXmlNode() noexcept;
    CZelXmlNode(const CZelXmlNode& other) noexcept;
    CZelXmlNode(CZelXmlNode&& other) noexcept;
    CZelXmlNode& operator=(const CZelXmlNode& other) noexcept;
    CZelXmlNode& operator=(CZelXmlNode&& other) noexcept;
    ~CZelXmlNode();

    // A new declaration node (<?name ...?>), detached. The system's own documents have none.
    static CZelXmlNode NewDeclaration(const CZelString& name);

    // Identity
    bool IsNull() const noexcept { return !m_impl; }
    int Kind() const noexcept;                    // kNone for a null handle
    CZelString Name() const;
    bool Rename(const CZelString& name);
    // True when both handles refer to the same node (or both are null).
    bool operator==(const CZelXmlNode& other) const noexcept { return m_impl == other.m_impl; }

    // Attributes. Setting an existing attribute moves it to the end of the list.
    CZelString GetAttr(const CZelString& name, bool* found = nullptr) const;
    bool SetAttr(const CZelString& name, const CZelString& value);
    bool RemoveAttr(const CZelString& name);
    int32_t AttrCount() const noexcept;
    CZelString AttrName(int32_t index) const;     // "" outside the list
    CZelString AttrValue(int32_t index) const;
    CZelXmlAttrRef AttrRef(const CZelString& name) const;
    CZelXmlAttrRef operator[](const CZelString& name) const;

    // Text values. Setting an existing one keeps its place.
    CZelString GetTextValue(const CZelString& name, bool* found = nullptr) const;
    bool SetTextValue(const CZelString& name, const CZelString& text);
    bool RemoveTextValue(const CZelString& name);
    int32_t TextValueCount() const noexcept;
    CZelString TextValueName(int32_t index) const;
    CZelString TextValue(int32_t index) const;

    // Navigation, in list order
    CZelXmlNode Parent() const;
    CZelXmlNode FirstChild() const;
    CZelXmlNode LastChild() const;
    CZelXmlNode NextSibling() const;
    CZelXmlNode PreviousSibling() const;
    int32_t ChildCount() const noexcept;
    // The first child named `name` (through the name index) and how many children bear it.
    CZelXmlNode FindChild(const CZelString& name, int32_t* count = nullptr) const;
    // The next following sibling with this node's name: FindChild + NextSameName walks a list.
    CZelXmlNode NextSameName() const;
    // The first child named `childName`, other than `skip`, whose attribute equals `value`.
    CZelXmlNode FindChildByAttr(const CZelString& childName, const CZelString& attrName,
                                const CZelString& value, const CZelXmlNode& skip = CZelXmlNode()) const;

    // Structure. AddChild refuses a child that has a parent, this node, or one of its ancestors
    // (a loop would never be freed nor written).
    bool AddChild(const CZelXmlNode& child);
    bool RemoveChild(const CZelXmlNode& child);
    bool Detach();
    // A detached copy: kind, name, attributes and text values, and with `deep` every child.
    CZelXmlNode Clone(bool deep) const;

    // For the library's parser, writer and documents.
    explicit CZelXmlNode(CZelXmlNodeImpl* impl) noexcept;
    explicit CZelXmlNode(CZelRef<CZelXmlNodeImpl> impl) noexcept;
    CZelXmlNodeImpl* Impl() const noexcept { return m_impl.Get(); }

private:
    CZelRef<CZelXmlNodeImpl> m_impl;
};

// A new element (kind 3) with the given name: no parent, no attributes.
class CZelXmlElement : public CZelXmlNode {
public:
    explicit CZelXmlElement(const CZelString& name);
};

// One attribute of one node, named once: read it, compare it, assign it, or step to the first
// child element of the same name.
class CZelXmlAttrRef {
public:
    CZelXmlAttrRef(CZelXmlNode node, CZelString name) noexcept
        : m_node(std::move(node)), m_name(std::move(name)) {}
    CZelXmlAttrRef(const CZelXmlAttrRef& other) = default;
    // Assigning one accessor to another copies the value, as with any other attribute write.
    CZelXmlAttrRef& operator=(const CZelXmlAttrRef& other) { return *this = other.Get(); }

    CZelString Get() const { return m_node.GetAttr(m_name); }
    operator CZelString() const { return Get(); }
    bool Exists() const;
    bool operator==(const CZelString& value) const { return Get() == value; }
    bool operator==(const char* value) const { return Get() == value; }
    CZelXmlAttrRef& operator=(const CZelString& value);
    CZelXmlAttrRef& operator=(const char* value) { return *this = CZelString(value); }
    bool Remove() { return m_node.RemoveAttr(m_name); }
    CZelXmlNode Child() const { return m_node.FindChild(m_name); }

private:
    CZelXmlNode m_node;
    CZelString m_name;
};
