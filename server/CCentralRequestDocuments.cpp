#include "server/CCentralRequestDocuments.h"

#include "protocol/ZelProtocolVocabulary.h"

#include <algorithm>
#include <initializer_list>

namespace {

using Names = std::initializer_list<const char*>;

// The root attributes of the message requests; only the ReqMsgId names a `Command`.
const Names kReqMsgIdAttributes = {kAttrCommand, kAttrTimeStamp, kAttrRcpt};
const Names kSeedAttributes = {kAttrSeed, kAttrLastDeliveredTimeStamp};
const Names kDeleteAttributes = {kAttrMsgId};
const Names kReceivedAttributes = {kAttrMessageId};
const Names kFetchAttributes = {kAttrMessageId, kAttrLength, kAttrPos, kAttrBlockSize};
// What marks a document as a message request's; no account request carries these.
const Names kMessageOnlyAttributes = {kAttrCommand, kAttrRcpt,   kAttrSeed,   kAttrLastDeliveredTimeStamp,
                                      kAttrMsgId,   kAttrMessageId, kAttrLength, kAttrPos,
                                      kAttrBlockSize};

bool Contains(const Names& names, const CZelString& name)
{
    return std::any_of(names.begin(), names.end(), [&name](const char* known) { return name == known; });
}

bool HasElementChild(const CZelXmlNode& root)
{
    for (CZelXmlNode child = root.FirstChild(); !child.IsNull(); child = child.NextSibling())
        if (child.Kind() == CZelXmlNode::kElement)
            return true;
    return false;
}

bool OnlyAttributes(const CZelXmlNode& root, const Names& allowed)
{
    for (int32_t at = 0; at < root.AttrCount(); ++at)
        if (!Contains(allowed, root.AttrName(at)))
            return false;
    return !HasElementChild(root);
}

bool NoneOfAttributes(const CZelXmlNode& root, const Names& refused)
{
    for (int32_t at = 0; at < root.AttrCount(); ++at)
        if (Contains(refused, root.AttrName(at)))
            return false;
    return true;
}

// Every `Command` child carries `own` and not `foreign`.
bool CommandsOfKind(const CZelXmlNode& root, const char* own, const char* foreign)
{
    for (CZelXmlNode command = root.FindChild(kElementCommand); !command.IsNull(); command = command.NextSameName()) {
        bool hasOwn = false, hasForeign = false;
        command.GetAttr(own, &hasOwn);
        command.GetAttr(foreign, &hasForeign);
        if (!hasOwn || hasForeign)
            return false;
    }
    return true;
}

} // namespace

bool IsDocumentOfType(uint32_t type, const CZelXmlNode& root)
{
    switch (type) {
    case kRequestReqMsgId:
        return OnlyAttributes(root, kReqMsgIdAttributes) && root.GetAttr(kAttrCommand) == kCommandReqMsgId;
    case kRequestSeed:
        return OnlyAttributes(root, kSeedAttributes);
    case kRequestDeleteMessage:
        return OnlyAttributes(root, kDeleteAttributes);
    case kRequestReceived:
        return OnlyAttributes(root, kReceivedAttributes);
    case kRequestFetchBlock:
        return OnlyAttributes(root, kFetchAttributes);
    case kRequestContactList:
        return NoneOfAttributes(root, kMessageOnlyAttributes) && CommandsOfKind(root, kAttrAction, kAttrAdminCommand);
    case kRequestAdministrative:
        return NoneOfAttributes(root, kMessageOnlyAttributes) && CommandsOfKind(root, kAttrAdminCommand, kAttrAction);
    case kRequestAccountUpdate:
        return NoneOfAttributes(root, kMessageOnlyAttributes) && root.FindChild(kElementCommand).IsNull();
    default:
        return true;
    }
}
