#pragma once
// One account file: where it lies, how it is named, read and written, and the names of what
// it holds. An account file is a "Reg" document whose `Root` carries the scalar values as
// attributes and three child lists: `ContactList`, `BlackList` (entries `user`) and
// `ContactListUpdates` (list changes announced by the server, not merged yet).
//
// Registered accounts lie in "%08D.xml" named by their id; an account without an id yet lies
// in "--%d--.xml" with the smallest free number.

#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"
#include "protocol/ZelProtocolVocabulary.h"

#include <cstdint>
#include <vector>

// The names in an account file. The identity and the standing are kept under the names they
// travel under to and from the central server; the login, the private exponent and the lists
// are the file's own.
namespace AccountAttr {
inline constexpr char kLogin[] = "Login";
inline constexpr char kPassword[] = "Password";
inline constexpr char kD[] = "d";
inline constexpr char kContactList[] = "ContactList";
inline constexpr char kBlackList[] = "BlackList";
// List changes announced by the server and not merged yet.
inline constexpr char kContactListUpdates[] = "ContactListUpdates";

inline constexpr auto& kId = kAttrId;
inline constexpr auto& kName = kAttrName;
inline constexpr auto& kBirthday = kAttrBirthday;
inline constexpr auto& kIssuedBy = kAttrIssuedBy;
inline constexpr auto& kN = kAttrN;
inline constexpr auto& kE = kAttrE;
inline constexpr auto& kEmail = kAttrEmail;
inline constexpr auto& kSecureCode = kAttrSecureCode;
inline constexpr auto& kUserLevel = kAttrUserLevel;
inline constexpr auto& kAutoReply = kAttrAutoReply;
inline constexpr auto& kAutoReplyEng = kAttrAutoReplyEng;
inline constexpr auto& kOperatedStatus = kAttrOperatedStatus;
inline constexpr auto& kTranslitName = kAttrTranslitName;
inline constexpr auto& kUnicodeName = kAttrUnicodeName;

// List entries, as the server's `Updates` carry them.
inline constexpr auto& kUser = kElementUser;
inline constexpr auto& kList = kAttrList;
inline constexpr auto& kTimeStamp = kAttrTimeStamp;
inline constexpr auto& kUpdates = kElementUpdates;
} // namespace AccountAttr

class CAccountFile {
public:
    static constexpr auto& kDocType = kDocTypeRegistration;
    static constexpr char kNameFormat[] = "%08D.xml";
    static constexpr char kTemporaryNameFormat[] = "--%d--.xml";
    static constexpr char kPattern[] = "*.xml";
    static constexpr int kKeyBytes = 128;

    // "%08D.xml" of the id.
    static CZelString FileNameFor(int64_t id);
    // "--%d--.xml" with the smallest number from 1 whose file does not exist yet, created
    // empty (0600) at once so that no other caller, in this process or another, gets the same
    // name. Empty when the working folder takes no new file.
    static CZelString FreeTemporaryName();
    // The account id that a text holds; -1 (unregistered) when it is missing or not a number.
    static int64_t ParseId(const CZelString& text);
    // The number a file name starts with (up to its first '.'), or false.
    static bool FileNameNumber(const CZelString& fileName, int64_t& number);
    // The ids of the registered account files of the working directory, in the order the folder
    // lists them: "*.xml" files whose name up to the first '.' is 1 to 18 digits and nothing
    // else (temporary and foreign names are passed over).
    static std::vector<int64_t> RegisteredIds();

    // Reads the file (at most 30 MiB). False when it cannot be read or does not parse.
    static bool Load(const CZelString& fileName, CZelXmlDocument& document);
    // Writes it atomically with "\r\n" line ends, one blank per level (a new file is 0600).
    static bool Save(const CZelString& fileName, const CZelXmlDocument& document);
    // A new empty account document ("Reg", `Root`).
    static CZelXmlDocument NewDocument();

    // The child of `parent` named `name`, made (and `*created` set) when missing.
    static CZelXmlNode EnsureChild(CZelXmlNode parent, const char* name, bool* created = nullptr);

    // The defaults of a new account.
    static CZelString MakeSecureCode();            // 16 upper-case hexadecimal digits
    static CZelString DefaultAutoReplyEng();       // the English text
    static CZelString DefaultAutoReply();          // its translation
    static CZelString ExampleEmail(const CZelString& login);
};
