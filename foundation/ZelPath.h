#pragma once
// Pieces of file names. Paths use '/'; a '\' given by a caller counts as '/'.

#include "foundation/CZelString.h"

namespace ZelPath {

inline constexpr char kSeparator = '/';

CZelString Normalize(const CZelString& name);       // every '\' turned into '/'
// The folder part up to (not including) the last separator; empty when there is none.
CZelString Folder(const CZelString& path);
// The folder part with its trailing separator ("a/b/" for "a/b/c.txt"); empty when none.
CZelString FolderWithSlash(const CZelString& path);
CZelString FileName(const CZelString& path);        // after the last separator
// The file name's extension from its last '.', the dot included; empty when none.
CZelString Extension(const CZelString& path);
// The path without the file name's extension (from the last '.' of the file name).
CZelString WithoutExtension(const CZelString& path);
// The path without everything from the first '.' of the file name.
CZelString WithoutAllExtensions(const CZelString& path);
// `base` and `name` with one separator between; an absolute `name` stands alone.
CZelString Join(const CZelString& base, const CZelString& name);

} // namespace ZelPath
