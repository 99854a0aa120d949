#pragma once
// Records: the binary framing of every request to and answer from the central server.
// A record is its type and payload length (each 32-bit big-endian) followed by the payload.
// A request body is exactly one record; an answer body is zero or more records back to back,
// each typed as the request type plus kAnswerTypeOffset.
//
// Used by the client and by the central server alike.

#include "foundation/CZelString.h"

#include <cstdint>
#include <vector>

inline constexpr int32_t kRecordHeadSize = 8;
inline constexpr uint32_t kAnswerTypeOffset = 0x10000;

constexpr uint32_t AnswerType(uint32_t requestType) { return requestType + kAnswerTypeOffset; }

struct CZelRecord {
    uint32_t type = 0;
    CZelString payload;
};

// type | length | payload. Throws "Memory allocation error" when the record cannot be held.
CZelString Frame(uint32_t type, const CZelString& payload);

// The records of an answer body, in order. A record whose stated length runs past the end of
// the body ends the splitting (the records before it are kept); so does a tail of 8 bytes or
// fewer, which cannot hold a record with a payload.
std::vector<CZelRecord> SplitRecords(const CZelString& body);

// A request body: exactly one record, filling the body to its last byte (an empty payload
// included). False for anything else.
bool ParseRequestRecord(const CZelString& body, CZelRecord& record);

// Big-endian integers as they travel.
void PutUInt32BE(uint32_t value, char* out);
uint32_t GetUInt32BE(const char* in);
void PutInt64BE(int64_t value, char* out);
int64_t GetInt64BE(const char* in);
CZelString Int64BE(int64_t value);            // the 8 bytes
