#pragma once
// The names, record types and texts of the message requests, written once.

#include <cstdint>

// Request types of the message requests.
inline constexpr uint32_t kRequestReqMsgId = 4;
inline constexpr uint32_t kRequestSeed = 10;
inline constexpr uint32_t kRequestDeleteMessage = 17;
inline constexpr uint32_t kRequestReceived = 20;
inline constexpr uint32_t kRequestUploadBlock = 23;
inline constexpr uint32_t kRequestFetchBlock = 24;

// The queued message file is one record of this type; the upload's final status answers it.
inline constexpr uint32_t kRecordQueuedMessage = 8;
// Records inside the queued message file.
inline constexpr uint32_t kRecordRecipientList = 18;
inline constexpr uint32_t kRecordSenderBlock = 15;
inline constexpr uint32_t kRecordKeyBlock = 5;
inline constexpr uint32_t kRecordMessageText = 7;
// Records of the message data a recipient downloads.
inline constexpr uint32_t kRecordSenderInfo = 0x1000E;
inline constexpr uint32_t kRecordMessage = 0x1000B;
inline constexpr uint32_t kRecordError = 0x10013;

// Largest queued message file and largest message data: the 100 MB message with room for
// its keys and records, the limit the download accepts.
inline constexpr int64_t kMaxMessageBytes = 0x6500000;
// Block sizes of a download: what the client asks for, within the limits it keeps itself.
inline constexpr int64_t kMaxFetchBlockBytes = 5000 * 1024;
inline constexpr int64_t kDefaultFetchBlockBytes = 100 * 1024;
// An upload block: total, offset, hash, then the data.
inline constexpr int32_t kUploadBlockHeadSize = 8 + 8 + 32;

// Documents.
inline constexpr char kCommandReqMsgId[] = "ReqMsgId";
inline constexpr char kAttrRcpt[] = "rcpt";
inline constexpr char kElementRcpt[] = "rcpt";
inline constexpr char kAttrMsgId[] = "MsgId";
inline constexpr char kAttrUserId[] = "UserId";
inline constexpr char kAttrSenderId[] = "SenderId";
inline constexpr char kAttrSentMessageTimeStamp[] = "SentMessageTimeStamp";
inline constexpr char kAttrLastDeliveredTimeStamp[] = "LastDeliveredTimeStamp";
inline constexpr char kElementDelivered[] = "Delivered";
inline constexpr char kElementMessage[] = "Message";
inline constexpr char kAttrAbuseReport[] = "AbuseReport";
inline constexpr char kAttrAbuseReportTimeStamp[] = "AbuseReportTimeStamp";
inline constexpr char kAttrLength[] = "Length";
inline constexpr char kAttrPos[] = "pos";
inline constexpr char kAttrBlockSize[] = "BlockSize";
inline constexpr char kAttrExtendedErrorCode[] = "ExtendedErrorCode";

// Refusals shown to the user.
inline constexpr char kErrRecipientRefuses[] = "Recipient refuses your mail";
inline constexpr char kErrSendingNotAllowed[] = "Sending is not allowed";
// A stranger's mail meets the recipient's auto-reply; this stands in when the recipient left
// it empty, so the sender never sees a bare "No such user" for a real user.
inline constexpr char kErrContactsOnly[] = "Recipient accepts mail from the contact list only";
inline constexpr char kErrSeedInvalid[] = "Seed is not valid";
inline constexpr char kErrUploadOffset[] = "Upload offset out of range";
inline constexpr char kErrUploadLength[] = "Message length out of range";
inline constexpr char kErrUploadHash[] = "The message does not match its hash";
inline constexpr char kErrUploadMalformed[] = "The message cannot be read";
inline constexpr char kErrUnknownMessageId[] = "Unknown message id";
inline constexpr char kErrFetchPosition[] = "Block position out of range";
inline constexpr char kErrFetchLength[] = "Length does not match the message";
