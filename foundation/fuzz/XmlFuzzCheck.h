#pragma once
// What must hold for any input to the XML parser, shared by the gtest fuzz driver and the
// libFuzzer target: a failure names one of the documented errors at a position inside the
// text; a success writes a text that parses again and is stable from the second writing on.

#include "foundation/CZelXmlDocument.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace velmo_fuzz {

inline bool IsDocumentedXmlError(std::string_view error)
{
    static constexpr std::string_view kErrors[] = {
        "'<' expected", "missed element name after '<'", "element name expected after '<'",
        "expected '>' in closing element name", "element is not opened",
        "element name to be closed mismatch", "unexpected character in element name",
        "\"DOCTYPE\" is expected", "name of \"DOCTYPE\" is expected", "'>' is expected",
        "attribute name is expected", "'=' is expected", "'\"' is expected", "'\"' not found",
        "space or newline or '/' or '>' is expected", "'?' is expected", "'?' is unexpected",
        "element for new string is not opened", "there is not enough free memory",
        "not all elements are closed"};
    return std::find(std::begin(kErrors), std::end(kErrors), error) != std::end(kErrors);
}

// "" when every rule held, else what broke.
inline std::string CheckXmlInput(std::string_view input)
{
    CZelXmlDocument doc;
    CZelString error;
    int line = 0;
    int column = 0;
    if (!doc.Parse(CZelString(input), &error, &line, &column)) {
        if (!IsDocumentedXmlError(error.View()))
            return "undocumented error: " + error.ToStd();
        if (line < 1 || column < 1 || static_cast<size_t>(column) > input.size() + 1 ||
            static_cast<size_t>(line) > input.size() + 1)
            return "position outside the text: " + std::to_string(line) + ":" + std::to_string(column);
        if (!doc.DocumentNode().FirstChild().IsNull())
            return "a failed parse changed the document";
        return "";
    }
    for (const char* newline : {CZelXmlDocument::kFileNewline, CZelXmlDocument::kRequestNewline}) {
        const CZelString first = doc.ToText(-1, "", " ", newline);
        if (first.IsEmpty())
            return "writing failed";
        CZelXmlDocument second;
        if (!second.Parse(first, &error, &line, &column))
            return "written text does not parse: " + error.ToStd() + " at " + std::to_string(line) + ":" +
                   std::to_string(column);
        const CZelString again = second.ToText(-1, "", " ", newline);
        CZelXmlDocument third;
        if (!third.Parse(again))
            return "second writing does not parse";
        if (third.ToText(-1, "", " ", newline).View() != again.View())
            return "writing is not stable";
        if (CZelXmlDocument(doc, true).ToText(-1, "", " ", newline).View() != first.View())
            return "a deep copy writes differently";
    }
    return "";
}

} // namespace velmo_fuzz
