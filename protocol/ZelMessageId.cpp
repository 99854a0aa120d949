#include "protocol/ZelMessageId.h"

bool IsSafeMessageId(const CZelString& id)
{
    const int32_t length = id.Length();
    if (length < 1 || length > kMaxMessageIdBytes)
        return false;
    bool afterDigit = false;
    for (int32_t i = 0; i < length; ++i) {
        const char c = id.Ptr()[i];
        if (c >= '0' && c <= '9') {
            afterDigit = true;
        } else if (c == '.' && afterDigit) {
            afterDigit = false;
        } else {
            return false;
        }
    }
    return afterDigit;
}
