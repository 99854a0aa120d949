#include "server/CStoreDb.h"

#include <cstring>

CStoreStatement& CStoreStatement::Bind(int index, int64_t value)
{
    m_statement->BindInt(index, value);
    return *this;
}

CStoreStatement& CStoreStatement::Bind(int index, const CZelString& bytes)
{
    m_statement->BindBytes(index, bytes);
    return *this;
}

CStoreStatement& CStoreStatement::Bind(int index, const char* text)
{
    m_statement->BindText(index, std::string_view(text, std::strlen(text)));
    return *this;
}

CStoreStatement& CStoreStatement::BindText(int index, const CZelString& text)
{
    m_statement->BindText(index, text.View());
    return *this;
}

CStoreStatement& CStoreStatement::BindNull(int index)
{
    m_statement->BindNull(index);
    return *this;
}

void CStoreStatement::Run()
{
    while (Step()) {
    }
}
