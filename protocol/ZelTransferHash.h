#pragma once
// The transfer hash: the 32-byte keyed hash that covers a queued message file when it is
// uploaded (under the Outbox key) and the message data when it is downloaded (under the Inbox
// key). The central server computes the same hashes, so the initial value is one constant for
// every account and message: changing it breaks every stored outbox file and every server.

#include "foundation/CZelString.h"

#include "crypto/CGostCipher.h"

#include <array>
#include <cstdint>
#include <optional>

inline constexpr int32_t kTransferHashSize = 32;

// The 8-byte initial value, built once at run time.
const std::array<uint8_t, 8>& TransferHashInitialValue();

// The keyed hash of `length` bytes under a 32-byte key; empty when the key is not 32 bytes.
CZelString TransferHash(const CZelString& key, const char* data, int64_t length);
CZelString TransferHash(const CZelString& key, const CZelString& data);

// The transfer hash of data that comes in pieces (a queued file read block by block).
class CTransferHasher {
public:
    // An invalid hasher (Finish gives nothing) when the key is not 32 bytes.
    explicit CTransferHasher(const CZelString& key);
    void Add(const char* data, int64_t length);
    // The hash of everything added; empty when the key was unusable.
    CZelString Finish();

private:
    std::optional<CGostCipher::KeyedHashStream> m_stream;
};
