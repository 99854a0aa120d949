#include "protocol/ZelRecords.h"

#include "foundation/XTOOError.h"

#include <cstring>
#include <limits>

void PutUInt32BE(uint32_t value, char* out)
{
    for (int i = 3; i >= 0; --i) {
        out[i] = static_cast<char>(value & 0xFF);
        value >>= 8;
    }
}

uint32_t GetUInt32BE(const char* in)
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<uint8_t>(in[i]);
    return value;
}

void PutInt64BE(int64_t value, char* out)
{
    uint64_t bits = static_cast<uint64_t>(value);
    for (int i = 7; i >= 0; --i) {
        out[i] = static_cast<char>(bits & 0xFF);
        bits >>= 8;
    }
}

int64_t GetInt64BE(const char* in)
{
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i)
        bits = (bits << 8) | static_cast<uint8_t>(in[i]);
    return static_cast<int64_t>(bits);
}

CZelString Int64BE(int64_t value)
{
    char bytes[8];
    PutInt64BE(value, bytes);
    return CZelString(bytes, 8);
}

CZelString Frame(uint32_t type, const CZelString& payload)
{
    const int32_t length = payload.Length();
    if (length > std::numeric_limits<int32_t>::max() - kRecordHeadSize)
        ThrowMemoryAllocationError();
    char* data = nullptr;
    CZelString record = CZelString::Uninitialized(kRecordHeadSize + length, &data);
    if (data == nullptr)
        ThrowMemoryAllocationError();
    PutUInt32BE(type, data);
    PutUInt32BE(static_cast<uint32_t>(length), data + 4);
    if (length > 0)
        std::memcpy(data + kRecordHeadSize, payload.Ptr(), static_cast<size_t>(length));
    return record;
}

std::vector<CZelRecord> SplitRecords(const CZelString& body)
{
    std::vector<CZelRecord> records;
    const char* data = body.Ptr();
    const int64_t total = body.Length();
    int64_t at = 0;
    while (total - at > kRecordHeadSize) {
        const uint32_t type = GetUInt32BE(data + at);
        const uint32_t length = GetUInt32BE(data + at + 4);
        const int64_t start = at + kRecordHeadSize;
        if (static_cast<int64_t>(length) > total - start)
            break;
        records.push_back({type, body.Mid(static_cast<int32_t>(start), static_cast<int32_t>(length))});
        at = start + length;
    }
    return records;
}

bool ParseRequestRecord(const CZelString& body, CZelRecord& record)
{
    if (body.Length() < kRecordHeadSize)
        return false;
    const uint32_t length = GetUInt32BE(body.Ptr() + 4);
    if (static_cast<int64_t>(length) != static_cast<int64_t>(body.Length()) - kRecordHeadSize)
        return false;
    record.type = GetUInt32BE(body.Ptr());
    record.payload = body.Mid(kRecordHeadSize, static_cast<int32_t>(length));
    return true;
}
