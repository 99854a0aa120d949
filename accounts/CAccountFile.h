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

#include <cstdint>

namespace AccountAttr {
inline constexpr char kLogin[] = "Login";
inline constexpr char kPassword[] = "Password";
inline constexpr char kName[] = "Name";
inline constexpr char kId[] = "Id";
inline constexpr char kBirthday[] = "Birthday";
inline constexpr char kIssuedBy[] = "IssuedBy";
inline constexpr char kN[] = "n";
inline constexpr char kD[] = "d";
inline constexpr char kE[] = "e";
inline constexpr char kEmail[] = "email";
inline constexpr char kSecureCode[] = "SecureCode";
inline constexpr char kUserLevel[] = "UserLevel";
inline constexpr char kAutoReply[] = "AutoReply";
inline constexpr char kAutoReplyEng[] = "AutoReplyEng";
inline constexpr char kOperatedStatus[] = "OperatedStatus";
inline constexpr char kContactList[] = "ContactList";
inline constexpr char kBlackList[] = "BlackList";
inline constexpr char kTranslitName[] = "TranslitName";
inline constexpr char kUnicodeName[] = "UnicodeName";
inline constexpr char kStatus[] = "Status";

// Children and list entries.
inline constexpr char kContactListUpdates[] = "ContactListUpdates";
inline constexpr char kUser[] = "user";
inline constexpr char kList[] = "list";
inline constexpr char kTimeStamp[] = "TimeStamp";
inline constexpr char kUpdates[] = "Updates";
} // namespace AccountAttr

// The list actions of update entries and list commands.
namespace ListAction {
inline constexpr char kAddContact[] = "+cl";
inline constexpr char kRemoveContact[] = "-cl";
inline constexpr char kAddBlack[] = "+bl";
inline constexpr char kRemoveBlack[] = "-bl";
} // namespace ListAction

class CAccountFile {
public:
    static constexpr char kDocType[] = "Reg";
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
