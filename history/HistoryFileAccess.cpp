#include "history/HistoryFileAccess.h"

#include "foundation/CZelFile.h"
#include "foundation/CZelFormat.h"
#include "foundation/ZelDateTime.h"
#include "protocol/ZelProtocolVocabulary.h"

namespace history_file {

namespace {

constexpr char kElementMessage[] = "message";
constexpr char kBrokenNameFormat[] = "%S.broken-%D";

} // namespace

CZelXmlDocument NewHistory()
{
    CZelXmlDocument document;
    document.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName);
    return document;
}

// Existence is asked of the directory entry, not of an open: a file this process cannot open
// is still there and must not be written over. No size cap: a long history is still the
// user's record.
ELoad LoadExisting(const CZelString& path, CZelXmlDocument& document)
{
    if (!CZelFile::IsFile(path))
        return ELoad::Missing;
    CZelString text;
    CZelXmlDocument parsed;
    if (!CZelFile::LoadWholeFile(path, text) || !parsed.Parse(text) || parsed.RootElement().IsNull())
        return ELoad::Unusable;
    document = std::move(parsed);
    return ELoad::Loaded;
}

bool LoadForWriting(const CZelString& path, CZelXmlDocument& document)
{
    switch (LoadExisting(path, document)) {
    case ELoad::Loaded:
        return true;
    case ELoad::Missing:
        document = NewHistory();
        return true;
    case ELoad::Unusable:
        break;
    }
    // The time makes the name unique; a second broken file within the same microsecond waits
    // for the next.
    CZelString kept;
    do
        kept = Format(kBrokenNameFormat, &path, NowMicroseconds());
    while (CZelFile::IsFile(kept));
    if (!CZelFile::Rename(path, kept))
        return false;
    document = NewHistory();
    return true;
}

bool Save(const CZelString& path, const CZelXmlDocument& document)
{
    return document.SaveFile(path);
}

CZelXmlNode FindOrAppend(CZelXmlNode parent, const CZelString& name)
{
    CZelXmlNode found = parent.FindChild(name);
    if (found.IsNull()) {
        found = CZelXmlElement(name);
        parent.AddChild(found);
    }
    return found;
}

CZelXmlNode FindEntry(const CZelXmlNode& section, const CZelString& messageId)
{
    return section.FindChildByAttr(kElementMessage, kAttrMessageId, messageId);
}

CZelXmlNode EntryOf(CZelXmlNode section, const CZelString& messageId)
{
    CZelXmlNode entry = FindEntry(section, messageId);
    if (entry.IsNull()) {
        entry = CZelXmlElement(kElementMessage);
        entry.SetAttr(kAttrMessageId, messageId);
        section.AddChild(entry);
    }
    return entry;
}

} // namespace history_file
