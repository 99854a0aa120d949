#pragma once
// CAccountData: one account as the account commands edit it: the values of its rows, the file it
// lies in, and (read only) its two lists. The headless commands use the same rows, so both
// save and register through the same code.

#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"

#include <cstdint>
#include <utility>
#include <vector>

struct CAccountListEntry {
    CZelString name;
    CZelString email;
};

struct CAccountData {
    CZelString fileName;     // empty for a new account that was never saved

    CZelString login;
    CZelString password;
    CZelString name;
    CZelString id;
    CZelString birthday;
    CZelString issuedBy;
    CZelString n;
    CZelString d;
    CZelString e;
    CZelString email;
    CZelString secureCode;
    CZelString userLevel;
    CZelString autoReply;
    CZelString autoReplyEng;
    CZelString operatedStatus;

    std::vector<CAccountListEntry> contactList;
    std::vector<CAccountListEntry> blackList;

    // The row values (in Rows() order) as its file held them when it was read; empty for an
    // account never read from a file. A save writes only the rows that differ from these, so
    // that what another writer stored meanwhile (the server's standing, a new address) stays.
    std::vector<CZelString> rowsAsRead;

    // A new account as "Add new account" makes it: a random secure code, the default texts
    // and the example address.
    static CAccountData New();
    // The rows of an account document (the lists included), remembered as read.
    static CAccountData FromDocument(const CZelString& fileName, const CZelXmlDocument& document);

    // The rows in page order, each named by the attribute it is saved to (the `Status` row is
    // never saved; the two list group rows are saved as empty attributes).
    std::vector<std::pair<const char*, CZelString>> Rows() const;

    // Whether the row at `index` of Rows() differs from what the file held when it was read
    // (always for an account never read).
    bool RowChanged(size_t index, const CZelString& value) const;

    int64_t Id() const;                                  // -1 while unregistered
    bool IsRegistered() const { return Id() >= 0; }
    bool HasKeys() const { return !n.IsEmpty() && !d.IsEmpty() && !e.IsEmpty(); }
    // Keys are made only for an account that has neither an id nor any part of a key.
    bool MayGenerateKeys() const { return id.IsEmpty() && n.IsEmpty() && d.IsEmpty() && e.IsEmpty(); }
};
