#include "foundation/ZelPath.h"

namespace ZelPath {

CZelString Normalize(const CZelString& name)
{
    if (name.Find('\\') < 0)
        return name;
    std::string bytes = name.ToStd();
    for (char& c : bytes)
        if (c == '\\')
            c = kSeparator;
    return CZelString(bytes);
}

CZelString Folder(const CZelString& path)
{
    const CZelString normal = Normalize(path);
    const int32_t slash = normal.ReverseFind(kSeparator);
    return slash < 0 ? CZelString() : normal.Left(slash);
}

CZelString FolderWithSlash(const CZelString& path)
{
    const CZelString normal = Normalize(path);
    const int32_t slash = normal.ReverseFind(kSeparator);
    return slash < 0 ? CZelString() : normal.Left(slash + 1);
}

CZelString FileName(const CZelString& path)
{
    const CZelString normal = Normalize(path);
    return normal.Mid(normal.ReverseFind(kSeparator) + 1);
}

CZelString Extension(const CZelString& path)
{
    const CZelString name = FileName(path);
    const int32_t dot = name.ReverseFind('.');
    return dot < 0 ? CZelString() : name.Mid(dot);
}

CZelString WithoutExtension(const CZelString& path)
{
    const CZelString normal = Normalize(path);
    const CZelString extension = Extension(normal);
    return normal.Left(normal.Length() - extension.Length());
}

CZelString WithoutAllExtensions(const CZelString& path)
{
    const CZelString name = FileName(path);
    const int32_t dot = name.Find('.');
    return dot < 0 ? Normalize(path) : FolderWithSlash(path) + name.Left(dot);
}

CZelString Join(const CZelString& base, const CZelString& name)
{
    const CZelString left = Normalize(base);
    const CZelString right = Normalize(name);
    if (left.IsEmpty() || right[0] == kSeparator)
        return right;
    if (right.IsEmpty())
        return left;
    if (left[left.Length() - 1] == kSeparator)
        return left + right;
    return left + "/" + right;
}

} // namespace ZelPath
