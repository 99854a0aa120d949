#pragma once
// The list changes and the standing that the central server announces in the `Updates`
// element of its replies: the update writer stores them in the account file, the update merge
// applies the stored list changes to the contact list and the black list.

#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"

#include <cstdint>
#include <vector>

// What the server said of the account's standing.
struct CAccountStanding {
    CZelString userLevel;
    CZelString operatedStatus;
    bool hadUpdates = false;   // the reply carried an `Updates` element
    bool saved = false;        // the account file was found and written
};

// One update entry applied by the merge, reported to the merge's caller.
struct CMergedEntry {
    CZelString list;     // "+cl", "+bl", "-cl", "-bl" or anything else (removal only)
    CZelString email;
    CZelString name;
};

class CAccountUpdates {
public:
    // The update writer: stores the reply's `Updates` in "%08D.xml" of the account under the
    // data lock, then sets the account's change bit 0x01. Without an `Updates` element the file
    // is still saved (the lists get their updates element). A file that cannot be loaded is
    // left alone; the change bit is set all the same.
    static CAccountStanding Write(int64_t accountId, const CZelXmlDocument& reply);

    // The update merge on a document: each entry of `ContactListUpdates`, in order: "+cl" and
    // "+bl" take the address off both lists and append it to the contact list or the black
    // list, "-cl" and "-bl" take it off that one list, any other action off both; an address is
    // on at most one list. The processed entries leave `ContactListUpdates` (its `TimeStamp`
    // stays).
    // True when anything was created or merged (the caller then saves).
    static bool Merge(CZelXmlDocument& document, std::vector<CMergedEntry>* merged = nullptr);

    // Merge on a file under the data lock, saving it when anything changed. False when the
    // file cannot be loaded or written.
    static bool MergeFile(const CZelString& fileName, std::vector<CMergedEntry>* merged = nullptr);
};
