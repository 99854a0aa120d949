#pragma once
// Which document each sealed request type accepts. A document made for one request type and
// sealed under another would otherwise be read by the wrong handler: a block request sent as a
// received report names a message id as well and would mark mail delivered that was never read.
// The message requests take only their own root attributes and no child elements; the account
// requests take none of the message requests' attributes, and their `Command` children are of
// their own kind (an `action` for the contact list, a `command` for administration).

#include "foundation/CZelXmlNode.h"

#include <cstdint>

// True when `root` is a document of the sealed request `type`; types without a rule pass.
bool IsDocumentOfType(uint32_t type, const CZelXmlNode& root);
