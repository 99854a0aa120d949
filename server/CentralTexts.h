#pragma once
// The names and texts of the central server's documents and answers, written once.

// Account fields of the registration and update documents, and of the `Updates` element.
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

// Answers.
inline constexpr char kAttrStatus[] = "Status";
inline constexpr char kAttrErrorMessage[] = "ErrorMessage";
inline constexpr char kAttrTimeStamp[] = "TimeStamp";
inline constexpr char kAttrSeed[] = "Seed";
inline constexpr char kElementUpdates[] = "Updates";
inline constexpr char kElementUser[] = "user";
inline constexpr char kAttrList[] = "list";

// Requests with commands (contact lists, administration).
inline constexpr char kElementCommand[] = "Command";
inline constexpr char kAttrAction[] = "action";
inline constexpr char kAttrAdminCommand[] = "command";
inline constexpr char kAttrMessageId[] = "MessageId";

// Status values.
inline constexpr char kStatusOk[] = "OK";
inline constexpr char kStatusSuccess[] = "Success";
inline constexpr char kStatusError[] = "Error";

// User levels and operated status.
inline constexpr char kLevelAdministrator[] = "Administrator";
inline constexpr char kLevelAuthorized[] = "Authorized";
inline constexpr char kLevelRestricted[] = "Restricted";
inline constexpr char kLevelDisabled[] = "Disabled";
inline constexpr char kOperatedNormal[] = "Normal";
inline constexpr char kOperatedDisabled[] = "Disabled";

// List actions.
inline constexpr char kActionAddContact[] = "+cl";
inline constexpr char kActionAddBlack[] = "+bl";
inline constexpr char kActionRemoveContact[] = "-cl";
inline constexpr char kActionRemoveBlack[] = "-bl";

// Administrative commands.
inline constexpr char kAdminAuthorize[] = "Authorize";
inline constexpr char kAdminRestrict[] = "Restrict";
inline constexpr char kAdminAbuseSpam[] = "AbuseReportSpam";
inline constexpr char kAdminAbuseVirus[] = "AbuseReportVirus";

// Refusals shown to the user.
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
