#pragma once
// Message ids come from the central server and become parts of file names on this machine
// (the download file in the Inbox folder, the queue, the ".id" files), so only ids of the
// server's own form are taken: decimal numbers joined by single dots, at most 64 bytes.
// Anything else ("../x", an empty id, a dot at either end) is refused before it is used.

#include "foundation/CZelString.h"

#include <cstdint>

inline constexpr int32_t kMaxMessageIdBytes = 64;

bool IsSafeMessageId(const CZelString& id);
