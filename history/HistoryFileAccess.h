#pragma once
// The history file's reading and writing steps that every part of the store shares. Callers
// hold the data lock around a whole load-change-save.

#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"

#include <cstdint>

namespace history_file {

// A new, empty history: the "doc" document with its root `Root`.
CZelXmlDocument NewHistory();

// What a load found.
enum class ELoad {
    Loaded,     // the file parsed
    Missing,    // there is no file: an empty history
    Unusable,   // the file is there but could not be read or parsed
};

// Reads the file without changing anything on disk.
ELoad LoadExisting(const CZelString& path, CZelXmlDocument& document);

// The writers' load: the file's document, or a new one when there is none. A file that is there
// but does not load is first renamed to "<path>.broken-<time>" with its bytes as they were, so
// the new document never takes its place unseen. False (write nothing) when it could not be set
// aside.
bool LoadForWriting(const CZelString& path, CZelXmlDocument& document);

// Saves with the history's own layout (CR LF, one blank per level); makes the account's folder.
bool Save(const CZelString& path, const CZelXmlDocument& document);

// The child element `name` of `parent`, appended when missing.
CZelXmlNode FindOrAppend(CZelXmlNode parent, const CZelString& name);
// The `message` entry of `section` whose `MessageId` is `messageId` byte for byte; appended
// when missing.
CZelXmlNode EntryOf(CZelXmlNode section, const CZelString& messageId);
// The same without creating anything; null when missing.
CZelXmlNode FindEntry(const CZelXmlNode& section, const CZelString& messageId);

} // namespace history_file
