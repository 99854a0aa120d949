#include "foundation/CZelDList.h"

CZelDLink::~CZelDLink()
{
    Unlink();
}

void CZelDLink::Unlink() noexcept
{
    if (m_list)
        m_list->Remove(this);
}

CZelDListBase::~CZelDListBase()
{
    // The typed lists dispose of their elements in their own destructors; whatever is left
    // must not keep pointing at a list that no longer exists.
    while (m_first)
        Remove(m_first);
}

void CZelDListBase::DisposeElement(CZelDLink*) {}

void CZelDListBase::Link(CZelDLink* prev, CZelDLink* element) noexcept
{
    if (element->m_list)
        element->m_list->Remove(element);
    CZelDLink* next = prev ? prev->m_next : m_first;
    element->m_prev = prev;
    element->m_next = next;
    element->m_list = this;
    (prev ? prev->m_next : m_first) = element;
    (next ? next->m_prev : m_last) = element;
    ++m_count;
}

void CZelDListBase::Append(CZelDLink* element) noexcept
{
    if (element == m_last && element && element->m_list == this)
        return;
    Link(m_last, element);
}

void CZelDListBase::Prepend(CZelDLink* element) noexcept
{
    if (element == m_first && element && element->m_list == this)
        return;
    Link(nullptr, element);
}

void CZelDListBase::InsertAfter(CZelDLink* position, CZelDLink* element) noexcept
{
    if (position == element)
        return;
    if (position && position->m_list != this)
        position = m_last;
    if (element->m_list == this && element->m_prev == position)
        return;
    if (element->m_list)
        element->m_list->Remove(element);
    Link(position, element);
}

bool CZelDListBase::Remove(CZelDLink* element) noexcept
{
    if (!element || element->m_list != this)
        return false;
    (element->m_prev ? element->m_prev->m_next : m_first) = element->m_next;
    (element->m_next ? element->m_next->m_prev : m_last) = element->m_prev;
    element->m_next = element->m_prev = nullptr;
    element->m_list = nullptr;
    --m_count;
    return true;
}

void CZelDListBase::Clear()
{
    while (m_first) {
        CZelDLink* element = m_first;
        Remove(element);
        DisposeElement(element);
    }
}
