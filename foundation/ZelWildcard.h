#pragma once
// Wildcard matching for directory patterns: '?' matches one character (one UTF-8 sequence or
// one byte), '*' any run of characters; every other byte matches itself exactly.

#include <string_view>

bool WildcardMatch(std::string_view pattern, std::string_view text);
