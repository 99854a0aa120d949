#pragma once
// The writer of the XML dialect: one growing buffer, an explicit stack instead of recursion.
// Element attribute values and text values are escaped (< " & CR LF NUL); declaration
// attributes are written as they are but for the double quote, so that the text always reads
// back.

#include "foundation/CZelString.h"
#include "foundation/CZelXmlNode.h"

#include <cstdint>
#include <string_view>

struct CZelXmlFormat {
    std::string_view indent;    // before every top-level line
    std::string_view step;      // added per level of nesting
    std::string_view newline;
};

class CZelXmlWriter {
public:
    static constexpr int32_t kDefaultInitialSize = 131072;

    // The whole document: the first declaration (or the line "<?xml?>"), the DOCTYPE line, then
    // every other top-level node. "" when the text cannot be built (memory, or longer than a
    // CZelString can hold).
    static CZelString WriteDocument(const CZelString& docType, const CZelXmlNode& documentNode,
                                    int32_t initialSize, const CZelXmlFormat& format);
    // One node and its descendants, without a trailing newline ("" on failure).
    static CZelString WriteNode(const CZelXmlNode& node, const CZelXmlFormat& format);
};
