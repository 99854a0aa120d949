#pragma once
// The words the gateway and the central server say to each other: request and record types,
// the element and attribute names of the documents, the values with a fixed meaning and the
// refusal texts the server sends and the gateway shows. Both sides include this header, so a
// name changed here changes on both ends of the wire at once.
//
// A name that plays two parts (an element and an attribute spelt alike) is written once and
// given its second name by reference.

#include <cstdint>

// --- Request types. Every answer record carries the request type plus 0x10000. ---
inline constexpr uint32_t kRequestServerKey = 1;
inline constexpr uint32_t kRequestRegister = 2;
inline constexpr uint32_t kRequestReqTimestamp = 3;
inline constexpr uint32_t kRequestReqMsgId = 4;
inline constexpr uint32_t kRequestPreLogin = 9;
inline constexpr uint32_t kRequestSeed = 10;
inline constexpr uint32_t kRequestDeleteMessage = 17;
inline constexpr uint32_t kRequestReceived = 20;
inline constexpr uint32_t kRequestUploadBlock = 23;
inline constexpr uint32_t kRequestFetchBlock = 24;
inline constexpr uint32_t kRequestContactList = 26;
inline constexpr uint32_t kRequestAccountUpdate = 27;
inline constexpr uint32_t kRequestAdministrative = 28;

// --- Record types inside the messages. ---
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

// --- Sizes of the message transfer. ---
// Largest queued message file and largest message data: the 100 MB message with room for its
// keys and records, the limit the download accepts.
inline constexpr int64_t kMaxMessageBytes = 0x6500000;
// Block sizes of a download: what the client asks for, within the limits it keeps itself.
inline constexpr int64_t kMaxFetchBlockBytes = 5000 * 1024;
inline constexpr int64_t kDefaultFetchBlockBytes = 100 * 1024;
// An upload block: total, offset, hash, then the data.
inline constexpr int32_t kUploadBlockHeadSize = 8 + 8 + 32;

// --- Documents. Every document is "doc" with the root `Root`, but for these two. ---
// The registration and account update documents (the account file's type as well).
inline constexpr char kDocTypeRegistration[] = "Reg";
// The administrative request: its type and its root.
inline constexpr char kDocTypeAdministrative[] = "AdminReq";

// --- Commands named in the request documents. ---
inline constexpr char kCommandReqTimestamp[] = "ReqTimestamp";
inline constexpr char kCommandPreLogin[] = "PreLogin";
inline constexpr char kCommandReqMsgId[] = "ReqMsgId";

// `LastUpdatesTimeStamp` of a run that wants the account's standing only.
inline constexpr int64_t kStandingOnlyTimeStamp = 9223372036854775807;

// --- Requests: the login and the sealed requests. ---
inline constexpr char kAttrId[] = "Id";
inline constexpr char kElementCommand[] = "Command";
inline constexpr auto& kAttrCommand = kElementCommand;
inline constexpr char kAttrLastUpdatesTimeStamp[] = "LastUpdatesTimeStamp";
inline constexpr char kElementSessionKey[] = "SessionKey";
inline constexpr auto& kAttrSessionKey = kElementSessionKey;
inline constexpr char kAttrSessionKeyNum[] = "SessionKeyNum";

// --- The account as it is registered and announced in `Updates`. ---
// `n` and `e` are an RSA public key: the server's in its key answer, an account's otherwise.
inline constexpr char kAttrN[] = "n";
inline constexpr char kAttrE[] = "e";
inline constexpr char kAttrName[] = "Name";
inline constexpr char kAttrTranslitName[] = "TranslitName";
inline constexpr char kAttrUnicodeName[] = "UnicodeName";
inline constexpr char kAttrBirthday[] = "Birthday";
inline constexpr char kAttrIssuedBy[] = "IssuedBy";
inline constexpr char kAttrEmail[] = "email";
inline constexpr char kAttrSecureCode[] = "SecureCode";
inline constexpr char kAttrAutoReply[] = "AutoReply";
inline constexpr char kAttrAutoReplyEng[] = "AutoReplyEng";
inline constexpr char kAttrUserLevel[] = "UserLevel";
inline constexpr char kAttrOperatedStatus[] = "OperatedStatus";

// --- Answers. ---
inline constexpr char kAttrStatus[] = "Status";
inline constexpr char kAttrErrorMessage[] = "ErrorMessage";
inline constexpr char kAttrExtendedErrorCode[] = "ExtendedErrorCode";
inline constexpr char kAttrTimeStamp[] = "TimeStamp";
inline constexpr char kAttrSeed[] = "Seed";
// The list changes: `user` entries whose `list` is one of the list actions.
inline constexpr char kElementUpdates[] = "Updates";
inline constexpr char kElementUser[] = "user";
inline constexpr char kAttrList[] = "list";

// --- Commands of the contact list and administrative requests. ---
inline constexpr char kAttrAction[] = "action";
inline constexpr char kAttrAdminCommand[] = "command";
inline constexpr char kAttrMessageId[] = "MessageId";

// --- The message requests. ---
inline constexpr char kElementRcpt[] = "rcpt";
inline constexpr auto& kAttrRcpt = kElementRcpt;
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
// Inside a queued message, read by the recipient's gateway: the key block (`rcpt`, `MsgId`,
// the message key and its initial vector) and the sender block (`SenderId`, the hash key, its
// initial value and the hash of the text).
inline constexpr char kAttrKey[] = "key";
inline constexpr char kAttrSalt[] = "Salt";
inline constexpr char kAttrHashKey[] = "HashKey";
inline constexpr char kAttrHashSalt[] = "HashSalt";
inline constexpr char kAttrHash[] = "Hash";

// --- Status values. The registration answers "Success", every other request "OK". ---
inline constexpr char kStatusOk[] = "OK";
inline constexpr char kStatusSuccess[] = "Success";
inline constexpr char kStatusError[] = "Error";

// --- User levels and operated status. ---
inline constexpr char kLevelAdministrator[] = "Administrator";
inline constexpr char kLevelAuthorized[] = "Authorized";
inline constexpr char kLevelRestricted[] = "Restricted";
inline constexpr char kLevelDisabled[] = "Disabled";
inline constexpr char kOperatedNormal[] = "Normal";
inline constexpr auto& kOperatedDisabled = kLevelDisabled;

// --- List actions, of list commands and of update entries. ---
inline constexpr char kActionAddContact[] = "+cl";
inline constexpr char kActionAddBlack[] = "+bl";
inline constexpr char kActionRemoveContact[] = "-cl";
inline constexpr char kActionRemoveBlack[] = "-bl";

// --- Administrative commands. ---
inline constexpr char kAdminAuthorize[] = "Authorize";
inline constexpr char kAdminRestrict[] = "Restrict";
inline constexpr char kAdminAbuseSpam[] = "AbuseReportSpam";
inline constexpr char kAdminAbuseVirus[] = "AbuseReportVirus";

// --- Refusals: the server's `Status` or `ErrorMessage`, shown to the user as they come. ---
// Accounts and lists.
inline constexpr char kErrEmailRegistered[] = "E-mail is already registered";
inline constexpr char kErrEmailMissing[] = "E-mail address is missing";
inline constexpr char kErrKeyMissing[] = "Public key is missing or unusable";
inline constexpr char kErrKeyChanged[] = "The public key cannot be changed";
inline constexpr char kErrNoSuchUser[] = "No such user";
inline constexpr char kErrWrongSecureCode[] = "Wrong SecureCode";
inline constexpr char kErrSelf[] = "This is your own address";
inline constexpr char kErrNotOnContactList[] = "Not on the contact list";
inline constexpr char kErrNotOnBlackList[] = "Not on the black list";
inline constexpr char kErrUnknownAction[] = "Unknown action";
inline constexpr char kErrUnknownCommand[] = "Unknown command";
inline constexpr char kErrNoCommands[] = "No commands";
inline constexpr char kErrNotAdministrator[] = "Administrator rights are required";
inline constexpr char kErrAdministratorLevel[] = "The level of an administrator is not changed here";
inline constexpr char kErrNoSuchMessage[] = "No such message";
inline constexpr char kErrEmailNotAllowed[] = "E-mail address holds characters that are not allowed";
inline constexpr char kErrNameNotAllowed[] = "Name holds characters that are not allowed";
inline constexpr char kErrTooManyWrongCodes[] = "Too many wrong SecureCodes, try again in an hour";
// Messages.
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
// A sender holds as many unused message ids as the server keeps open for one sender.
inline constexpr char kErrTooManyReservations[] = "Too many message ids are waiting for their mail";
