#pragma once
// CInboxQueue: an account's Inbox key file "Accounts/%08D/Inbox/key.bin" with its receive
// queue - the Inbox key (made by a login exchange under key number 4) and one `Message`
// element per message waiting to be downloaded, in file order - and the download files
// "Accounts/%08D/Inbox/<MessageId>" beside it.
//
// A login exchange reserves the key (SessionKeyLock "1"), logs in with it and then queues what
// the server lists and releases it; the download thread takes the queue's head and removes it
// when done. The key file goes when the queue is empty and no login holds it. Every step is one
// hold of the data lock; no step waits on the network.

#include "foundation/CZelEvent.h"
#include "foundation/CZelString.h"

#include <cstdint>
#include <map>
#include <vector>

class CInboxQueue {
public:
    // The key number of an Inbox key that a login exchange makes.
    static constexpr uint32_t kNewKeyNumber = 4;

    explicit CInboxQueue(int64_t accountId);

    int64_t AccountId() const { return m_accountId; }
    CZelString KeyFilePath() const;
    // Where a message is fetched to; only for an id that IsSafeMessageId accepts.
    CZelString DownloadPath(const CZelString& messageId) const;

    // Takes the file's key for a login, or - when the file is missing, damaged or its key is
    // unusable - writes a fresh key under kNewKeyNumber (the queue it held is kept). The file is
    // left locked either way. False when it could not be written (a new file is deleted then).
    bool Reserve(CZelString& key, uint32_t& keyNumber) const;

    // Appends every listed id that is not stored here yet (`stored`: id -> N of the ".id"
    // files), not queued already and safe as a file name; unlocks the key file, and deletes it
    // when nothing is queued. Returns the ids added; `queued` tells whether the queue holds any
    // message now (the download thread should run).
    std::vector<CZelString> Enqueue(const std::vector<CZelString>& listed, const std::map<CZelString, int64_t>& stored,
                                    bool& queued) const;

    // The key and the first queued message. False when there is no key file or no message.
    struct CHead {
        CZelString key;
        uint32_t keyNumber = 0;
        CZelString messageId;   // as the file holds it: the caller checks it
    };
    bool Head(CHead& head) const;

    // Takes the message's entry out of the queue (the first one with that id); deletes the key
    // file when the queue is left empty and no login holds the key. False when the file could
    // not be written.
    bool Remove(const CZelString& messageId) const;

    // Set by a login exchange that left messages queued; the download thread waits for it.
    static CZelEvent& DownloadEvent();

private:
    int64_t m_accountId;
};
