#pragma once
// Sealed payloads: a plain text protected by a 32-byte session key, encrypted in cipher
// feedback mode under a fresh initial vector V and authenticated by the 64-bit MAC of the plain
// text with V as its initial value.
//
//   request form:  account id (8, big-endian) | key number (4, big-endian) | V (8) | MAC (8) | text
//   answer form:   V (8) | MAC (8) | text
//
// The request form's tail from V on is the answer form, so the central server splits off the
// head and unseals the rest like any answer.

#include "foundation/CZelString.h"

#include <cstdint>

inline constexpr int32_t kSessionKeySize = 32;
inline constexpr int32_t kSealedAnswerHeadSize = 16;
inline constexpr int32_t kSealedRequestHeadSize = 28;

// Key numbers: which of an account's keys the server uses for a sealed request.
inline constexpr uint32_t kKeyNumSession = 1;      // one local SMTP or POP3 session
inline constexpr uint32_t kKeyNumOutbox = 3;       // queued outgoing mail
inline constexpr uint32_t kKeyNumInbox = 4;        // incoming mail
inline constexpr uint32_t kKeyNumContactList = 5;  // one contact list modification run
inline constexpr uint32_t kKeyNumAccountRun = 6;   // one registration, update or administrative run

// A fresh random session key (never all zero).
CZelString MakeSessionKey();

// The request form; empty when the key is not 32 bytes.
CZelString Seal(int64_t accountId, uint32_t keyNumber, const CZelString& key, const CZelString& plain);
// The answer form; empty when the key is not 32 bytes.
CZelString SealAnswer(const CZelString& key, const CZelString& plain);

// Opens the answer form. False (and `plain` untouched) when the key is not 32 bytes, the
// payload is shorter than 16 bytes or the MAC does not match.
bool Unseal(const CZelString& key, const CZelString& sealed, CZelString& plain);

// The head of the request form: account id, key number and the answer form that follows.
// False when the payload is too short to hold a head and an answer form.
bool SplitSealedRequest(const CZelString& payload, int64_t& accountId, uint32_t& keyNumber,
                        CZelString& sealed);
