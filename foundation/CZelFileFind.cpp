#include "foundation/CZelFileFind.h"

#include "foundation/ZelPath.h"
#include "foundation/ZelWildcard.h"

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>

namespace {

// Code page for the case rule: ASCII letters and the Cyrillic letters written in UTF-8.
constexpr int kUtf8CaseTable = -2;

int EntryType(const CZelString& name, const struct stat& st)
{
    if (name == ".")
        return CZelFileFindEntry::kDot;
    if (name == "..")
        return CZelFileFindEntry::kDotDot;
    if (S_ISDIR(st.st_mode))
        return CZelFileFindEntry::kDirectory;
    if (S_ISREG(st.st_mode))
        return CZelFileFindEntry::kFile;
    return CZelFileFindEntry::kOther;
}

// Only real subfolders are descended into, so that a link cannot make the search go round.
bool IsRealSubfolder(unsigned char kind, const CZelString& name, const CZelString& fullName)
{
    if (name == "." || name == "..")
        return false;
    if (kind != DT_UNKNOWN)
        return kind == DT_DIR;
    struct stat own {};
    return ::lstat(fullName.Ptr(), &own) == 0 && S_ISDIR(own.st_mode);
}

} // namespace

// One folder being listed: its names, read at once and sorted, and the depth left below it.
struct CZelFileFind::Level {
    struct Name {
        CZelString name;
        unsigned char kind;   // the d_type of the entry itself (links not followed)
    };
    CZelString folder;
    std::vector<Name> names;
    size_t next = 0;
    int depth = 1;
};

CZelFileFind::CZelFileFind() noexcept = default;

CZelFileFind::CZelFileFind(const CZelString& pattern, int depth, uint32_t typeMask)
{
    Start(pattern, depth, typeMask);
}

CZelFileFind::~CZelFileFind() = default;

bool CZelFileFind::NameMatches(const CZelString& pattern, const CZelString& name)
{
    return WildcardMatch(pattern.Upper(kUtf8CaseTable).View(), name.Upper(kUtf8CaseTable).View());
}

void CZelFileFind::Start(const CZelString& pattern, int depth, uint32_t typeMask)
{
    Finish();
    m_typeMask = typeMask;
    const CZelString normal = ZelPath::Normalize(pattern);
    const int32_t slash = normal.ReverseFind(ZelPath::kSeparator);
    CZelString folder = slash < 0 ? CZelString(".") : normal.Left(slash);
    if (slash == 0)
        folder = CZelString("/");
    m_upperPattern = normal.Mid(slash + 1).Upper(kUtf8CaseTable);
    EnterFolder(folder, depth == 0 ? 1 : depth);
}

bool CZelFileFind::EnterFolder(const CZelString& folder, int depth)
{
    DIR* directory = ::opendir(folder.Ptr());
    if (!directory)
        return false;
    auto level = std::make_unique<Level>();
    level->folder = folder;
    level->depth = depth;
    while (const dirent* entry = ::readdir(directory))
        level->names.push_back({CZelString(entry->d_name), entry->d_type});
    ::closedir(directory);
    // Byte order of the UTF-8 names (unsigned), which is code point order.
    std::sort(level->names.begin(), level->names.end(),
              [](const Level::Name& a, const Level::Name& b) { return a.name.View() < b.name.View(); });
    m_levels.push_back(std::move(level));
    return true;
}

bool CZelFileFind::Next()
{
    while (!m_levels.empty()) {
        Level& level = *m_levels.back();
        if (level.next >= level.names.size()) {
            m_levels.pop_back();
            continue;
        }
        const Level::Name& entry = level.names[level.next++];
        const CZelString name = entry.name;
        const CZelString fullName =
            level.folder == "/" ? CZelString("/") + name : level.folder + "/" + name;
        if (level.depth != 1 && IsRealSubfolder(entry.kind, name, fullName))
            EnterFolder(fullName, level.depth - 1);
        if (!WildcardMatch(m_upperPattern.View(), name.Upper(kUtf8CaseTable).View()))
            continue;
        struct stat st {};
        if (::stat(fullName.Ptr(), &st) != 0 && ::lstat(fullName.Ptr(), &st) != 0)
            continue; // vanished meanwhile
        const int type = EntryType(name, st);
        if (!(m_typeMask & TypeBit(type)))
            continue;
        m_current.fullName = fullName;
        m_current.name = name;
        m_current.type = type;
        m_current.size = st.st_size;
        m_current.seconds = st.st_mtim.tv_sec;
        m_current.microseconds = static_cast<int32_t>(st.st_mtim.tv_nsec / 1000);
        return true;
    }
    return false;
}

void CZelFileFind::Finish() noexcept
{
    m_levels.clear();
    m_current = CZelFileFindEntry();
}
