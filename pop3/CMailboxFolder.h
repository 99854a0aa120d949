#pragma once
// CMailboxFolder: the messages of one account that the download stored and the POP3 server
// serves, "Accounts/%08D/N.msg" (the text the mail client receives) with "N.id" (the message id
// exactly as the central server gave it). N is a positive decimal number without leading zeros.
//
// Every step that lists, stores, renames or removes these files takes the data lock, so the
// download thread and the POP3 sessions never see one another's half-done work. A stored
// message appears whole or not at all: both files are written under a temporary name, flushed
// and renamed, the text first, so a crash leaves at worst a text without its id (the next login
// fetches it again) and never an id that claims a message nobody can read.

#include "foundation/CZelString.h"

#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

class CMailboxFolder {
public:
    // New downloads are stored from this number up; the next login moves them down.
    static constexpr int64_t kFirstDownloadNumber = 1000000;
    // An id file longer than this is not an id.
    static constexpr int32_t kMaxIdFileBytes = 1024;
    static constexpr char kMessageExtension[] = ".msg";
    static constexpr char kIdExtension[] = ".id";

    struct CEntry {
        int64_t number = 0;   // N of "N.msg"
        int64_t size = 0;     // the file's size on disk
    };

    explicit CMailboxFolder(int64_t accountId);

    int64_t AccountId() const { return m_accountId; }
    // "Accounts/%08D".
    CZelString Folder() const;
    CZelString MessagePath(int64_t number) const;
    CZelString IdPath(int64_t number) const;

    // The regular files "N.msg", ascending by N.
    std::vector<CEntry> List() const;
    // The id of message N (at most kMaxIdFileBytes); empty when it cannot be read.
    CZelString ReadId(int64_t number) const;
    // id -> N for every "N.id" of the folder.
    std::map<CZelString, int64_t> IdTable() const;

    // Stores a new message under the first free N from kFirstDownloadNumber up. Returns N, or
    // -1 when no file could be written (nothing is left behind then); `error` gets the reason.
    int64_t Store(const CZelString& messageId, std::string_view text, CZelString* error = nullptr) const;

    // Moves the messages down to 1, 2, ... in their order, each "N.id" with its "N.msg". Any
    // failure ends the renumbering and leaves the rest as it was.
    void Renumber() const;

    // Deletes "N.msg" and "N.id". False when the text could not be deleted.
    bool Remove(int64_t number) const;

private:
    int64_t m_accountId;
};
