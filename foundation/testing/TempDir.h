#pragma once
// Folders and files for tests: a fresh folder under the system's temporary folder that goes
// with everything in it when the object goes, a fixture that runs each test inside one, and
// whole-file reads and writes.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace velmo_testing {

inline std::string ReadFileText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileText(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    EXPECT_TRUE(out) << "could not write " << path;
}

class TempDir {
public:
    // `tag` shows up in the folder's name, so a folder left by a crashed test tells whose it is.
    explicit TempDir(const std::string& tag = "velmo")
    {
        std::string pattern = (std::filesystem::temp_directory_path() / (tag + "-XXXXXX")).string();
        if (!::mkdtemp(pattern.data()))
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        m_path = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::string File(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

// The working directory moved into `folder` for the object's life and back afterwards, for
// code that reads and writes its files by relative name.
class ScopedWorkingDirectory {
public:
    explicit ScopedWorkingDirectory(const std::filesystem::path& folder)
        : m_previous(std::filesystem::current_path())
    {
        std::filesystem::current_path(folder);
    }
    ~ScopedWorkingDirectory()
    {
        std::error_code ignored;
        std::filesystem::current_path(m_previous, ignored);
    }
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

private:
    std::filesystem::path m_previous;
};

// A test run with a fresh temporary folder as its working directory.
class TempHomeTest : public ::testing::Test {
protected:
    static void WriteText(const std::string& name, const std::string& text) { WriteFileText(name, text); }
    static std::string ReadText(const std::string& name) { return ReadFileText(name); }
    static bool Exists(const std::string& name) { return std::filesystem::exists(name); }

    TempDir m_temp{"velmo-home"};
    const std::filesystem::path m_home = m_temp.Path();

private:
    ScopedWorkingDirectory m_inHome{m_home};
};

} // namespace velmo_testing
