#include "foundation/CZelXmlNode.h"

#include "foundation/CZelXmlNodeImpl.h"

#include "foundation/CZelXmlEntities.h"

#include <new>
#include <utility>

// ---- CZelXmlAttr ----

CZelString CZelXmlAttr::Value() const
{
    if (!raw)
        return value;
    return rawEncoded ? CZelXmlEntities::Decode(RawView()) : CZelString(RawView());
}

bool CZelXmlAttr::ValueEquals(const CZelString& other) const
{
    if (!raw)
        return value == other;
    return rawEncoded ? CZelXmlEntities::Decode(RawView()) == other : RawView() == other.View();
}

// ---- CZelXmlAttrList ----

const CZelXmlAttr* CZelXmlAttrList::Find(const CZelString& name) const noexcept
{
    const int32_t position = m_index.Find(m_items, name);
    return position < 0 ? nullptr : &m_items[static_cast<size_t>(position)];
}

void CZelXmlAttrList::SetMovingToEnd(CZelXmlAttr entry)
{
    const int32_t position = m_index.Find(m_items, entry.name);
    if (position < 0) {
        m_items.push_back(std::move(entry));
        try {
            m_index.Appended(m_items);
        } catch (...) {
            m_items.pop_back();
            throw;
        }
        return;
    }
    const auto at = static_cast<size_t>(position);
    entry.name = m_items[at].name;  // keeps the stored name's body shared
    if (at + 1 == m_items.size()) {
        m_items[at] = std::move(entry);
        return;
    }
    // Same size afterwards, so the rebuild reuses the table and cannot fail.
    m_items.erase(m_items.begin() + position);
    m_items.push_back(std::move(entry));
    m_index.Rebuild(m_items);
}

void CZelXmlAttrList::SetInPlace(CZelXmlAttr entry)
{
    const int32_t position = m_index.Find(m_items, entry.name);
    if (position >= 0) {
        entry.name = m_items[static_cast<size_t>(position)].name;
        m_items[static_cast<size_t>(position)] = std::move(entry);
        return;
    }
    m_items.push_back(std::move(entry));
    try {
        m_index.Appended(m_items);
    } catch (...) {
        m_items.pop_back();
        throw;
    }
}

void CZelXmlAttrList::AppendUnique(CZelXmlAttr entry)
{
    m_items.push_back(std::move(entry));
    try {
        m_index.Appended(m_items);
    } catch (...) {
        m_items.pop_back();
        throw;
    }
}

bool CZelXmlAttrList::Remove(const CZelString& name)
{
    const int32_t position = m_index.Find(m_items, name);
    if (position < 0)
        return false;
    m_items.erase(m_items.begin() + position);
    m_index.Rebuild(m_items);
    return true;
}

void CZelXmlAttrList::TakeExact(CZelXmlAttrList& other)
{
    std::vector<CZelXmlAttr> items;
    items.reserve(other.m_items.size());
    for (auto& item : other.m_items)
        items.push_back(std::move(item));
    other.m_items.clear();
    other.m_index.Clear();
    CZelXmlNameIndex index;
    index.Rebuild(items);
    m_items = std::move(items);
    m_index = std::move(index);
}

void CZelXmlAttrList::CopyFrom(const CZelXmlAttrList& other)
{
    std::vector<CZelXmlAttr> items(other.m_items);
    CZelXmlNameIndex index;
    index.Rebuild(items);
    m_items = std::move(items);
    m_index = std::move(index);
}

void CZelXmlAttrList::Clear() noexcept
{
    m_items.clear();
    m_index.Clear();
}

// ---- CZelXmlNodeImpl ----

void CZelXmlNodeImpl::Free(CZelXmlNodeImpl* node) noexcept
{
    // Dying nodes wait in a chain threaded through `next` (free once unlinked), so a tree of
    // any depth is freed in a loop.
    node->next = nullptr;
    CZelXmlNodeImpl* pending = node;
    while (pending) {
        CZelXmlNodeImpl* dying = pending;
        pending = dying->next;
        for (CZelXmlNodeImpl* child = dying->firstChild; child;) {
            CZelXmlNodeImpl* following = child->next;
            child->parent = child->prev = child->next = nullptr;
            if (child->DropRef()) {
                child->next = pending;
                pending = child;
            }
            child = following;
        }
        dying->firstChild = dying->lastChild = nullptr;
        delete dying;
    }
}

CZelXmlChildName* CZelXmlNodeImpl::ChildNameEntry(const CZelString& childName) noexcept
{
    const int32_t position = childNameIndex.Find(childNames, childName);
    return position < 0 ? nullptr : &childNames[static_cast<size_t>(position)];
}

// Counts `child` (already in the list) under its name; the first-of-name entry follows the list
// order, so a renamed child placed before the current first becomes the first.
void CZelXmlNodeImpl::IndexChild(CZelXmlNodeImpl* child)
{
    if (CZelXmlChildName* entry = ChildNameEntry(child->name)) {
        ++entry->count;
        for (const CZelXmlNodeImpl* after = child->next; after; after = after->next) {
            if (after == entry->first) {
                entry->first = child;
                break;
            }
        }
        return;
    }
    childNames.push_back({child->name, child, 1});
    try {
        childNameIndex.Appended(childNames);
    } catch (...) {
        childNames.pop_back();
        throw;
    }
}

void CZelXmlNodeImpl::UnindexChild(CZelXmlNodeImpl* child) noexcept
{
    const int32_t position = childNameIndex.Find(childNames, child->name);
    if (position < 0)
        return;
    CZelXmlChildName& entry = childNames[static_cast<size_t>(position)];
    if (--entry.count == 0) {
        childNames.erase(childNames.begin() + position);
        childNameIndex.Rebuild(childNames);  // shrinking: no allocation
        return;
    }
    if (entry.first == child) {
        for (CZelXmlNodeImpl* after = child->next; after; after = after->next) {
            if (after->name == child->name) {
                entry.first = after;
                break;
            }
        }
    }
}

void CZelXmlNodeImpl::AppendChild(CZelXmlNodeImpl* child)
{
    child->parent = this;
    child->prev = lastChild;
    child->next = nullptr;
    try {
        IndexChild(child);
    } catch (...) {
        child->parent = child->prev = nullptr;
        throw;
    }
    if (lastChild)
        lastChild->next = child;
    else
        firstChild = child;
    lastChild = child;
    ++childCount;
    child->AddRef();
}

CZelXmlNodeImpl* CZelXmlNodeImpl::Adopt(std::unique_ptr<CZelXmlNodeImpl> child)
{
    AppendChild(child.get());
    return child.release();
}

void CZelXmlNodeImpl::UnlinkChild(CZelXmlNodeImpl* child) noexcept
{
    UnindexChild(child);
    if (child->prev)
        child->prev->next = child->next;
    else
        firstChild = child->next;
    if (child->next)
        child->next->prev = child->prev;
    else
        lastChild = child->prev;
    child->parent = child->prev = child->next = nullptr;
    --childCount;
    child->Release();
}

bool CZelXmlNodeImpl::IsSelfOrAncestor(const CZelXmlNodeImpl* node) const noexcept
{
    for (const CZelXmlNodeImpl* up = this; up; up = up->parent)
        if (up == node)
            return true;
    return false;
}

void CZelXmlNodeImpl::RenameTo(const CZelString& newName)
{
    if (!parent) {
        name = newName;
        return;
    }
    // Room for a new entry first, so that the only step that can fail comes before any change.
    parent->childNames.reserve(parent->childNames.size() + 1);
    parent->UnindexChild(this);
    const CZelString oldName = name;
    name = newName;
    try {
        parent->IndexChild(this);
    } catch (...) {
        name = oldName;
        parent->IndexChild(this);  // the old entry's place is free again
        throw;
    }
}

static std::unique_ptr<CZelXmlNodeImpl> CopyOne(const CZelXmlNodeImpl& source)
{
    auto copy = std::make_unique<CZelXmlNodeImpl>(source.kind, source.name);
    copy->source = source.source;  // raw values keep pointing into the same text
    copy->attrs.CopyFrom(source.attrs);
    copy->texts.CopyFrom(source.texts);
    return copy;
}

CZelRef<CZelXmlNodeImpl> CZelXmlNodeImpl::Copy(bool deep) const
{
    // Held from the start, so that a failure half-way frees the part already built.
    CZelRef<CZelXmlNodeImpl> root = CZelRef<CZelXmlNodeImpl>::Fresh(CopyOne(*this).release());
    if (!deep)
        return root;
    std::vector<std::pair<const CZelXmlNodeImpl*, CZelXmlNodeImpl*>> work{{this, root.Get()}};
    while (!work.empty()) {
        const auto [source, target] = work.back();
        work.pop_back();
        for (const CZelXmlNodeImpl* child = source->firstChild; child; child = child->next) {
            CZelXmlNodeImpl* copy = target->Adopt(CopyOne(*child));
            if (child->firstChild)
                work.emplace_back(child, copy);
        }
    }
    return root;
}

// ---- CZelXmlNode ----

CZelXmlNode::CZelXmlNode() noexcept = default;
CZelXmlNode::CZelXmlNode(CZelXmlNodeImpl* impl) noexcept : m_impl(impl) {}
CZelXmlNode::CZelXmlNode(CZelRef<CZelXmlNodeImpl> impl) noexcept : m_impl(std::move(impl)) {}
CZelXmlNode::CZelXmlNode(const CZelXmlNode& other) noexcept = default;
CZelXmlNode::CZelXmlNode(CZelXmlNode&& other) noexcept = default;
CZelXmlNode& CZelXmlNode::operator=(const CZelXmlNode& other) noexcept = default;
CZelXmlNode& CZelXmlNode::operator=(CZelXmlNode&& other) noexcept = default;
CZelXmlNode::~CZelXmlNode() = default;

CZelXmlNode CZelXmlNode::NewDeclaration(const CZelString& name)
{
    try {
        return CZelXmlNodeImpl::New(kDeclaration, name);
    } catch (const std::bad_alloc&) {
        return CZelXmlNode();
    }
}

CZelXmlElement::CZelXmlElement(const CZelString& name)
{
    try {
        *static_cast<CZelXmlNode*>(this) = CZelXmlNodeImpl::New(kElement, name);
    } catch (const std::bad_alloc&) {
        // stays a null handle
    }
}

int CZelXmlNode::Kind() const noexcept
{
    return m_impl ? m_impl->kind : kNone;
}

CZelString CZelXmlNode::Name() const
{
    return m_impl ? m_impl->name : CZelString();
}

bool CZelXmlNode::Rename(const CZelString& name)
{
    if (!m_impl)
        return false;
    try {
        m_impl->RenameTo(name);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// ---- attributes ----

CZelString CZelXmlNode::GetAttr(const CZelString& name, bool* found) const
{
    const CZelXmlAttr* attr = m_impl ? m_impl->attrs.Find(name) : nullptr;
    if (found)
        *found = attr != nullptr;
    return attr ? attr->Value() : CZelString();
}

bool CZelXmlNode::SetAttr(const CZelString& name, const CZelString& value)
{
    if (!m_impl)
        return false;
    try {
        m_impl->attrs.SetMovingToEnd({name, value});
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CZelXmlNode::RemoveAttr(const CZelString& name)
{
    return m_impl && m_impl->attrs.Remove(name);
}

int32_t CZelXmlNode::AttrCount() const noexcept
{
    return m_impl ? static_cast<int32_t>(m_impl->attrs.Count()) : 0;
}

CZelString CZelXmlNode::AttrName(int32_t index) const
{
    if (!m_impl || index < 0 || static_cast<size_t>(index) >= m_impl->attrs.Count())
        return CZelString();
    return m_impl->attrs.At(static_cast<size_t>(index)).name;
}

CZelString CZelXmlNode::AttrValue(int32_t index) const
{
    if (!m_impl || index < 0 || static_cast<size_t>(index) >= m_impl->attrs.Count())
        return CZelString();
    return m_impl->attrs.At(static_cast<size_t>(index)).Value();
}

CZelXmlAttrRef CZelXmlNode::AttrRef(const CZelString& name) const
{
    return CZelXmlAttrRef(*this, name);
}

CZelXmlAttrRef CZelXmlNode::operator[](const CZelString& name) const
{
    return CZelXmlAttrRef(*this, name);
}

bool CZelXmlAttrRef::Exists() const
{
    bool found = false;
    m_node.GetAttr(m_name, &found);
    return found;
}

CZelXmlAttrRef& CZelXmlAttrRef::operator=(const CZelString& value)
{
    m_node.SetAttr(m_name, value);
    return *this;
}

// ---- text values ----

CZelString CZelXmlNode::GetTextValue(const CZelString& name, bool* found) const
{
    const CZelXmlAttr* text = m_impl ? m_impl->texts.Find(name) : nullptr;
    if (found)
        *found = text != nullptr;
    return text ? text->Value() : CZelString();
}

bool CZelXmlNode::SetTextValue(const CZelString& name, const CZelString& text)
{
    if (!m_impl)
        return false;
    try {
        m_impl->texts.SetInPlace({name, text});
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CZelXmlNode::RemoveTextValue(const CZelString& name)
{
    return m_impl && m_impl->texts.Remove(name);
}

int32_t CZelXmlNode::TextValueCount() const noexcept
{
    return m_impl ? static_cast<int32_t>(m_impl->texts.Count()) : 0;
}

CZelString CZelXmlNode::TextValueName(int32_t index) const
{
    if (!m_impl || index < 0 || static_cast<size_t>(index) >= m_impl->texts.Count())
        return CZelString();
    return m_impl->texts.At(static_cast<size_t>(index)).name;
}

CZelString CZelXmlNode::TextValue(int32_t index) const
{
    if (!m_impl || index < 0 || static_cast<size_t>(index) >= m_impl->texts.Count())
        return CZelString();
    return m_impl->texts.At(static_cast<size_t>(index)).Value();
}

// ---- navigation ----

CZelXmlNode CZelXmlNode::Parent() const
{
    return CZelXmlNode(m_impl ? m_impl->parent : nullptr);
}

CZelXmlNode CZelXmlNode::FirstChild() const
{
    return CZelXmlNode(m_impl ? m_impl->firstChild : nullptr);
}

CZelXmlNode CZelXmlNode::LastChild() const
{
    return CZelXmlNode(m_impl ? m_impl->lastChild : nullptr);
}

CZelXmlNode CZelXmlNode::NextSibling() const
{
    return CZelXmlNode(m_impl ? m_impl->next : nullptr);
}

CZelXmlNode CZelXmlNode::PreviousSibling() const
{
    return CZelXmlNode(m_impl ? m_impl->prev : nullptr);
}

int32_t CZelXmlNode::ChildCount() const noexcept
{
    return m_impl ? m_impl->childCount : 0;
}

CZelXmlNode CZelXmlNode::FindChild(const CZelString& name, int32_t* count) const
{
    const CZelXmlChildName* entry = nullptr;
    if (m_impl) {
        const int32_t position = m_impl->childNameIndex.Find(m_impl->childNames, name);
        if (position >= 0)
            entry = &m_impl->childNames[static_cast<size_t>(position)];
    }
    if (count)
        *count = entry ? entry->count : 0;
    return CZelXmlNode(entry ? entry->first : nullptr);
}

CZelXmlNode CZelXmlNode::NextSameName() const
{
    if (!m_impl)
        return CZelXmlNode();
    for (CZelXmlNodeImpl* after = m_impl->next; after; after = after->next)
        if (after->name == m_impl->name)
            return CZelXmlNode(after);
    return CZelXmlNode();
}

CZelXmlNode CZelXmlNode::FindChildByAttr(const CZelString& childName, const CZelString& attrName,
                                         const CZelString& value, const CZelXmlNode& skip) const
{
    for (CZelXmlNode child = FindChild(childName); !child.IsNull(); child = child.NextSameName()) {
        if (child == skip)
            continue;
        const CZelXmlAttr* attr = child.m_impl->attrs.Find(attrName);
        if (attr && attr->ValueEquals(value))
            return child;
    }
    return CZelXmlNode();
}

// ---- structure ----

bool CZelXmlNode::AddChild(const CZelXmlNode& child)
{
    if (!m_impl || !child.m_impl || child.m_impl->parent || m_impl->IsSelfOrAncestor(child.Impl()))
        return false;
    try {
        m_impl->AppendChild(child.Impl());
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CZelXmlNode::RemoveChild(const CZelXmlNode& child)
{
    if (!m_impl || !child.m_impl || child.m_impl->parent != Impl())
        return false;
    m_impl->UnlinkChild(child.Impl());
    return true;
}

bool CZelXmlNode::Detach()
{
    if (!m_impl || !m_impl->parent)
        return false;
    m_impl->parent->UnlinkChild(Impl());
    return true;
}

CZelXmlNode CZelXmlNode::Clone(bool deep) const
{
    if (!m_impl)
        return CZelXmlNode();
    try {
        return CZelXmlNode(m_impl->Copy(deep));
    } catch (const std::bad_alloc&) {
        return CZelXmlNode();
    }
}
