#pragma once
// The parser of the XML dialect that CZelXmlDocument reads and writes: one forward pass with an
// explicit stack of open elements, so nesting depth costs memory, never native stack.

#include "foundation/CZelString.h"
#include "foundation/CZelXmlNode.h"

#include <string_view>

struct CZelXmlParseResult {
    CZelXmlNode documentNode;   // on success: the new document node with the top-level nodes
    CZelString docType;         // the name of the last DOCTYPE line, when there was one
    bool hasDocType = false;
    CZelString error;           // on failure: one of the texts below, with a 1-based position
    int line = 0;
    int column = 0;
};

// The error texts, as callers and logs see them.
namespace CZelXmlErrors {
inline constexpr char kLtExpected[] = "'<' expected";
inline constexpr char kMissedName[] = "missed element name after '<'";
inline constexpr char kNameExpected[] = "element name expected after '<'";
inline constexpr char kCloseGtExpected[] = "expected '>' in closing element name";
inline constexpr char kNotOpened[] = "element is not opened";
inline constexpr char kCloseMismatch[] = "element name to be closed mismatch";
inline constexpr char kUnexpectedInName[] = "unexpected character in element name";
inline constexpr char kDocTypeExpected[] = "\"DOCTYPE\" is expected";
inline constexpr char kDocTypeNameExpected[] = "name of \"DOCTYPE\" is expected";
inline constexpr char kGtExpected[] = "'>' is expected";
inline constexpr char kAttrNameExpected[] = "attribute name is expected";
inline constexpr char kEqualsExpected[] = "'=' is expected";
inline constexpr char kQuoteExpected[] = "'\"' is expected";
inline constexpr char kQuoteNotFound[] = "'\"' not found";
inline constexpr char kAfterValue[] = "space or newline or '/' or '>' is expected";
inline constexpr char kQuestionExpected[] = "'?' is expected";
inline constexpr char kQuestionUnexpected[] = "'?' is unexpected";
inline constexpr char kTextNotOpened[] = "element for new string is not opened";
inline constexpr char kNoMemory[] = "there is not enough free memory";
inline constexpr char kNotAllClosed[] = "not all elements are closed";
}

class CZelXmlParser {
public:
    // Parses `text` (a leading byte order mark is dropped). True on success; on failure only
    // the error fields of `result` are meaningful. The tree keeps `text` alive: its values are
    // read from it when asked for.
    static bool Parse(const CZelString& text, CZelXmlParseResult& result);
};
