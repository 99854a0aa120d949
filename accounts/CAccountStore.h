#pragma once
// The account files of the working directory as a whole: which files are accounts and in what
// order they load, loading them for the account commands and "/convert" (one-time conversion, update
// merge, default texts), and saving one account from its rows, which moves a newly
// registered account from its temporary file to "%08D.xml".

#include "accounts/CAccountData.h"
#include "accounts/CAccountUpdates.h"
#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"

#include <cstdint>
#include <vector>

class CAccountStore {
public:
    // "*.xml" of the working directory: names that begin with a digit first, names that begin
    // with '-' last, byte order otherwise.
    static std::vector<CZelString> ListFiles();
    static bool LoadOrderLess(const CZelString& a, const CZelString& b);

    // Every account file (a readable document whose `Root` has a `Login`), each under the data
    // lock: converted when `convert` is set, merged, saved when either changed anything. Empty
    // auto-reply texts get their defaults in the rows (they reach the file with the next save).
    // A file that fails is skipped; the others still load.
    static std::vector<CAccountData> LoadAll(bool convert);
    // The account whose `Id` is `id`; false when there is none.
    static bool FindById(int64_t id, CAccountData& account);

    // Saves one account from its rows (see CAccountData::Rows) under the data lock, keeping
    // everything else its file holds; fills `fileName` for a new account and renames the file
    // to "%08D.xml" once the id is a number >= 0. False, with nothing changed, when the file
    // exists but cannot be read or when it cannot be written.
    static bool Save(CAccountData& account);

    // The one-time conversion of an account document from the old 8-bit texts to UTF-8. True
    // when anything changed.
    static bool Convert(CZelXmlDocument& document);
    // The same for one element's `Name` (an account, a list entry, a history entry): rebuilt
    // from its `UnicodeName` when that is not empty, else read as windows-1251 text unless it
    // already reads as UTF-8. True when it changed.
    static bool ConvertEntryName(CZelXmlNode element);
    // Loads every account with the conversion (the start-up step of "/convert").
    static int ConvertAll();
    // Registers ConvertAll as a start-up step of "/convert" (once per process).
    static void RegisterConvertStep();

    // The refresh of one account after its change bit (MergeChangedAccounts): the update merge on
    // its file. The merged entries go to `merged`. False when no file of that id loads.
    static bool Refresh(int64_t id, std::vector<CMergedEntry>* merged = nullptr);
};
