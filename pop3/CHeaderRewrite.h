#pragma once
// The header of a received message as the mail client gets it: the "From:" field names the
// sender the central server vouches for (not what the sender's text claims), and a
// "Velmo-Message-ID:" field carries the message id.
//
// The header runs to the first empty line; a text without one is all header. The whole first
// "From:" field, continuation lines included, is replaced; any further "From:" or
// "Velmo-Message-ID:" field is dropped, so the sender cannot add a second name or a forged id.
// Without a usable sender address the text stays exactly as it is.

#include "foundation/CZelString.h"

#include <string>
#include <string_view>

// An address the header may carry: bytes 0x21..0x7F only, none of "<", "=", ">", "?".
bool IsUsableSenderEmail(std::string_view email);

// UTF-16LE to UTF-8, surrogate pairs joined; a lone surrogate becomes U+FFFD, an odd last
// byte is dropped.
std::string Utf16LeToUtf8(std::string_view wide);

// "\"Name\" <email>" for a name of printable ASCII (quotes and backslashes escaped),
// "=?utf-8?B?<Base64 of the UTF-8 name>?= <email>" for any other name, or the bare email when
// there is no name; empty when the email is not usable.
CZelString SenderText(const CZelString& email, const CZelString& unicodeName);

// The text with its header rewritten for the sender (email, UTF-16LE name) and message id; the
// id field is added only for an id of digits and dots.
std::string RewriteHeader(std::string_view text, const CZelString& email, const CZelString& unicodeName,
                          const CZelString& messageId);
// The same on the text where it lies: only the header moves, so a big message is not copied.
void RewriteHeaderInPlace(std::string& text, const CZelString& email, const CZelString& unicodeName,
                          const CZelString& messageId);
