#pragma once
// CZelFileFind: a directory search with a wildcard pattern ("Accounts/00000001/*.msg").
// The pattern's part up to the last '/' is the folder ("." when there is none), the rest the
// name pattern, matched without regard to case ('?' one character, '*' any run; ASCII and
// Cyrillic letters). Depth 1 lists the folder itself; a larger depth (or a negative one, for
// no limit) also descends into subfolders, returning a subfolder's entries right after the
// subfolder and before the entries that follow it. Entries of one folder come in name order.

#include "foundation/CZelString.h"

#include <cstdint>
#include <memory>
#include <vector>

struct CZelFileFindEntry {
    enum Type : int { kDot = 1, kDotDot = 2, kDirectory = 3, kFile = 4, kOther = 255 };

    CZelString fullName;         // folder, '/', name
    CZelString name;             // the name alone
    int type = kOther;
    int64_t size = 0;
    int64_t seconds = 0;         // last write, since 1970-01-01 00:00 UTC
    int32_t microseconds = 0;
};

class CZelFileFind {
public:
    // One bit per entry type; all set by default.
    static constexpr uint32_t TypeBit(int type) { return type == CZelFileFindEntry::kOther ? 1u : 1u << type; }
    static constexpr uint32_t kAllTypes = 0xFFFFFFFFu;
    static constexpr uint32_t kFilesOnly = 1u << CZelFileFindEntry::kFile;

    CZelFileFind() noexcept;
    explicit CZelFileFind(const CZelString& pattern, int depth = 1, uint32_t typeMask = kAllTypes);
    ~CZelFileFind();
    CZelFileFind(const CZelFileFind&) = delete;
    CZelFileFind& operator=(const CZelFileFind&) = delete;

    // Starts a new search (finishing any previous one).
    void Start(const CZelString& pattern, int depth = 1, uint32_t typeMask = kAllTypes);
    void SetTypeMask(uint32_t typeMask) noexcept { m_typeMask = typeMask; }
    // The next matching entry; false when there are no more.
    bool Next();
    const CZelFileFindEntry& Current() const noexcept { return m_current; }
    const CZelString& Name() const noexcept { return m_current.name; }
    const CZelString& FullName() const noexcept { return m_current.fullName; }
    // Releases every level of the search.
    void Finish() noexcept;

    // The case-blind wildcard match used for names.
    static bool NameMatches(const CZelString& pattern, const CZelString& name);

private:
    struct Level;

    bool EnterFolder(const CZelString& folder, int depth);

    std::vector<std::unique_ptr<Level>> m_levels;
    CZelString m_upperPattern;      // the name pattern, upper-cased once
    uint32_t m_typeMask = kAllTypes;
    CZelFileFindEntry m_current;
};
