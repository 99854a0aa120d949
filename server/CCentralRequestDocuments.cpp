#include "server/CCentralRequestDocuments.h"

#include "protocol/ZelProtocolVocabulary.h"

#include <algorithm>
#include <initializer_list>

namespace {

using Names = std::initializer_list<const char*>;

// What marks each message request's document. A document carrying what marks another type is
// that type's, re-framed; anything else (the session's `Seed`, attributes a later gateway adds)
// is left alone, so the check never refuses a request of the right kind.
const Names kReqMsgIdMarks = {kAttrCommand, kAttrRcpt};
const Names kSeedMarks = {kAttrLastDeliveredTimeStamp};
const Names kDeleteMarks = {kAttrMsgId};
const Names kReceivedMarks = {kAttrMessageId};
const Names kFetchMarks = {kAttrLength, kAttrPos, kAttrBlockSize};
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

bool HasAny(const CZelXmlNode& root, const Names& names)
{
    for (int32_t at = 0; at < root.AttrCount(); ++at)
        if (Contains(names, root.AttrName(at)))
            return true;
    return false;
}

// A message request's document: no child elements, and none of the marks of the other message
// types. `own` are this type's marks, `required` the one it cannot do without.
bool MessageDocument(const CZelXmlNode& root, const Names& own, const char* required)
{
    if (HasElementChild(root))
        return false;
    if (required) {
        bool has = false;
        root.GetAttr(required, &has);
        if (!has)
            return false;
    }
    for (const Names* marks : {&kReqMsgIdMarks, &kSeedMarks, &kDeleteMarks, &kReceivedMarks, &kFetchMarks}) {
        if (marks == &own)
            continue;
        // A block fetch names the message by its id as a received report does.
        const bool shared = (&own == &kFetchMarks && marks == &kReceivedMarks);
        if (!shared && HasAny(root, *marks))
            return false;
    }
    return true;
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
        return MessageDocument(root, kReqMsgIdMarks, nullptr) && root.GetAttr(kAttrCommand) == kCommandReqMsgId;
    case kRequestSeed:
        return MessageDocument(root, kSeedMarks, nullptr);
    case kRequestDeleteMessage:
        return MessageDocument(root, kDeleteMarks, kAttrMsgId);
    case kRequestReceived:
        return MessageDocument(root, kReceivedMarks, kAttrMessageId);
    case kRequestFetchBlock:
        return MessageDocument(root, kFetchMarks, kAttrMessageId);
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
