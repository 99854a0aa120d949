#include "core/CTranslations.h"

#include "foundation/CZelFile.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelWin32Locker.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelGlobalLocks.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace {

constexpr char kThisFile[] = "CTranslations.cpp";
constexpr char kFilesElement[] = "Files";
constexpr char kFileElement[] = "File";
constexpr char kStringElement[] = "String";
constexpr char kFileNameAttr[] = "FileName";
constexpr char kSourceAttr[] = "Src";
constexpr char kTranslationAttr[] = "TR";
constexpr int kUtf8CodePage = -2;   // the UTF-8 aware upper-casing

constexpr char kParseErrorText[] = "Error in language translation file \"%1\"\nLine: %2, Column: %3, Error: %4";
constexpr char kFileErrorText[] = "Error: %1";
constexpr char kUnknownErrorText[] = "Unknown error in language translation file \"%1\"";

struct KeyHash {
    size_t operator()(const std::pair<std::string, std::string>& key) const noexcept
    {
        const size_t a = std::hash<std::string>()(key.first);
        return a ^ (std::hash<std::string>()(key.second) + 0x9e3779b97f4a7c15ull + (a << 6) + (a >> 2));
    }
};

// (source file key, English text) -> translation. Filled aside and then published whole, so
// a lookup never sees a table being changed.
using Table = std::unordered_map<std::pair<std::string, std::string>, CZelString, KeyHash>;

struct Published {
    std::mutex mutex;                     // guards the pointer only, for a few statements
    std::shared_ptr<const Table> table;   // null while translation is switched off
};

Published& Current()
{
    static Published* published = new Published;   // lookups may come from late threads
    return *published;
}

void Publish(std::shared_ptr<const Table> table)
{
    std::lock_guard<std::mutex> guard(Current().mutex);
    Current().table = std::move(table);
}

std::shared_ptr<const Table> Snapshot()
{
    std::lock_guard<std::mutex> guard(Current().mutex);
    return Current().table;
}

// Walks every File of the first Files element; the first occurrence of a pair wins.
void FillTable(const CZelXmlDocument& document, Table& table)
{
    const CZelXmlNode files = document.RootElement().FindChild(kFilesElement);
    for (CZelXmlNode file = files.FindChild(kFileElement); !file.IsNull(); file = file.NextSameName()) {
        const std::string fileKey = TranslationFileKey(file.GetAttr(kFileNameAttr)).ToStd();
        for (CZelXmlNode entry = file.FindChild(kStringElement); !entry.IsNull(); entry = entry.NextSameName()) {
            bool hasTranslation = false;
            const CZelString translation = entry.GetAttr(kTranslationAttr, &hasTranslation);
            if (!hasTranslation)
                continue;
            table.try_emplace({fileKey, entry.GetAttr(kSourceAttr).ToStd()}, translation);
        }
    }
}

} // namespace

CZelString TranslationFileKey(const CZelString& fileName)
{
    const int32_t backslash = fileName.ReverseFind('\\');
    const int32_t slash = fileName.ReverseFind('/');
    const int32_t cut = backslash > slash ? backslash : slash;
    return fileName.Mid(cut + 1).Upper(kUtf8CodePage);
}

int LoadTrStrings(const CZelString& fileName, CZelString* message)
{
    CZelLockGuard guard(ZelDataLock(), "LoadTrStrings()", __LINE__);
    Publish(nullptr);
    if (message)
        *message = CZelString();

    auto table = std::make_shared<Table>();
    enum class Failure { None, Missing, Parse, File, Unknown } failure = Failure::None;
    CZelString errorText;
    int line = 0;
    int column = 0;
    try {
        CZelXmlDocument document;
        if (!CZelFile::IsFile(fileName) && !CZelFile::IsDirectory(fileName)) {
            failure = Failure::Missing;
        } else if (!document.LoadFile(fileName, 1, &errorText, &line, &column)) {
            failure = errorText.IsEmpty() ? Failure::Unknown : Failure::Parse;
        } else {
            // A document in another encoding than UTF-8 is converted; one whose encoding is not
            // known here is taken as it stands, the platform's own text being UTF-8.
            document.ConvertToUtf8(-1);
            FillTable(document, *table);
        }
    } catch (const XTOOError& error) {
        failure = Failure::File;
        errorText = error.GetText();
    } catch (...) {
        failure = Failure::Unknown;
    }

    // Switched on also after a failure: the table is then empty or holds what was read.
    Publish(std::move(table));

    if (message) {
        switch (failure) {
        case Failure::None:
        case Failure::Missing:
            break;
        case Failure::Parse:
            *message = FormatTr("%S%d%d%S", Translate(kParseErrorText, kThisFile), fileName, line, column, errorText);
            break;
        case Failure::File:
            *message = FormatTr("%S", Translate(kFileErrorText, kThisFile), errorText);
            break;
        case Failure::Unknown:
            *message = FormatTr("%S", Translate(kUnknownErrorText, kThisFile), fileName);
            break;
        }
    }
    return failure == Failure::None ? 1 : 0;
}

void UnLoadTrStrings()
{
    CZelLockGuard guard(ZelDataLock(), "UnLoadTrStrings()", __LINE__);
    Publish(nullptr);
}

bool TranslationsEnabled()
{
    return Snapshot() != nullptr;
}

CZelString Translate(const CZelString& text, const char* sourceFile)
{
    const std::shared_ptr<const Table> table = Snapshot();
    if (!table || table->empty())
        return text;
    const auto found = table->find({TranslationFileKey(CZelString(sourceFile)).ToStd(), text.ToStd()});
    return found == table->end() ? text : found->second;
}
