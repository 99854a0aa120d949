#include "foundation/CZelFile.h"
#include "foundation/ZelMemoryAccessLog.h"
#include "foundation/ZelPath.h"
#include "foundation/testing/MutationFuzzer.h"
#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class CZelFileTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    CZelString ZPath(const std::string& name) const { return CZelString(Path(name)); }

    void WriteText(const std::string& name, const std::string& text) const
    {
        std::ofstream(Path(name), std::ios::binary) << text;
    }
    std::string ReadText(const std::string& name) const
    {
        std::ifstream in(Path(name), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static int Permissions(const std::string& path)
    {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
        return st.st_mode & 07777;
    }
    // Names in the folder other than `keep`, to catch leftover temporary files.
    std::vector<std::string> NamesIn(const std::string& folder) const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    velmo_testing::TempDir m_temp{"velmo-file"};
    const std::string m_dir = m_temp.Path().string();
};

// ---- Open modes ----

struct ModeCase {
    const char* mode;
    bool exists;         // the file is there beforehand, holding "old content"
    bool opens;
    bool readable;
    bool writable;
    const char* after;   // content after opening (before a "+" is appended); null: no file
};

TEST_F(CZelFileTest, ModeGrammarTable)
{
    const ModeCase cases[] = {
        {"R|SrSw", true, true, true, false, "old content"},
        {"R|Sr", true, true, true, false, "old content"},
        {"R|Sr", false, false, false, false, nullptr},
        {"WCD|SrSw", true, true, false, true, ""},
        {"WCD|SrSw", false, true, false, true, ""},
        {"WCD|Sr", true, true, false, true, ""},
        {"RWCD|Sr", true, true, true, true, "old content"},
        {"RWCD|Sr", false, true, true, true, ""},
        {"WC|Sr", false, true, false, true, ""},
        {"WC|Sr", true, true, false, true, ""},
        {"W|Sr", false, false, false, false, nullptr},
        {"W|Sr", true, true, false, true, "old content"},
        {"RW|SrSw", true, true, true, true, "old content"},
        {"R", true, true, true, false, "old content"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + (c.exists ? " on an existing file" : " on a missing file"));
        const std::string name = "f" + std::to_string(n++);
        if (c.exists)
            WriteText(name, "old content");
        CZelFile file(ZPath(name), c.mode);
        ASSERT_EQ(file.IsOpen(), c.opens);
        if (c.opens) {
            EXPECT_FALSE(file.IsSet());
            EXPECT_EQ(file.Tell(), 0);
            char byte;
            EXPECT_EQ(file.Read(&byte, 1) >= 0, c.readable);
            ASSERT_TRUE(file.Seek(0, 2));
            EXPECT_EQ(file.Write("+", 1) == 1, c.writable);
            file.Close();
        }
        if (c.after)
            EXPECT_EQ(ReadText(name), std::string(c.after) + (c.writable ? "+" : ""));
        else
            EXPECT_FALSE(fs::exists(Path(name)));
    }
}

TEST_F(CZelFileTest, InvalidModesAreRefusedWithTheOpenText)
{
    WriteText("keep", "keep me");
    for (const char* mode : {"", "|SrSw", "X|Sr", "R|Sx", "R|S", "Rw|Sr", "C|Sr", "WCD|SrSwX"}) {
        SCOPED_TRACE(mode);
        CZelFile file(ZPath("keep"), mode);
        EXPECT_FALSE(file.IsOpen());
        EXPECT_EQ(file.GetText(), CZelString("CreateFile(\"" + Path("keep") + "\"), mode \"" + mode +
                                             "\" Error code=22 (Invalid argument)"));
    }
    EXPECT_EQ(ReadText("keep"), "keep me");
}

TEST_F(CZelFileTest, WcdCreatesTheFolderChainPrivately)
{
    CZelFile file(ZPath("a/b/c/file.xml"), "WCD|SrSw");
    ASSERT_TRUE(file.IsOpen()) << file.Text();
    EXPECT_EQ(file.Write(CZelString("<doc/>")), 6);
    file.Close();
    EXPECT_EQ(ReadText("a/b/c/file.xml"), "<doc/>");
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(Permissions(Path("a/b/c/file.xml")), 0600 & ~mask);
    EXPECT_EQ(Permissions(Path("a")), 0700 & ~mask);
    EXPECT_EQ(Permissions(Path("a/b/c")), 0700 & ~mask);
}

TEST_F(CZelFileTest, BackslashNamesOpenTheSameFile)
{
    WriteText("sub/x.txt", ""); // no folder yet: nothing written
    fs::create_directory(Path("sub"));
    WriteText("sub/x.txt", "same");
    std::string windowsName = Path("sub\\x.txt");
    CZelFile file(CZelString(windowsName), "R|Sr");
    ASSERT_TRUE(file.IsOpen()) << file.Text();
    EXPECT_EQ(file.ReadAll(), CZelString("same"));
    EXPECT_EQ(file.Name(), ZPath("sub/x.txt"));
}

TEST_F(CZelFileTest, FailedOpenRecordsItsErrorAndLaterOperationsSayBadImplementation)
{
    CZelFile file(ZPath("missing.msg"), "R|Sr");
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.GetText(),
              CZelString("CreateFile(\"" + Path("missing.msg") + "\"), mode \"R|Sr\" Error code=2 (No such file or directory)"));
    EXPECT_EQ(file.Code(), ENOENT);

    char buffer[4];
    EXPECT_EQ(file.Read(buffer, 4), -1);
    EXPECT_STREQ(file.Text(), "Bad implementation");
    EXPECT_EQ(file.Code(), 0);
    EXPECT_EQ(file.Write("ab", 2), -1);
    EXPECT_FALSE(file.Seek(0));
    EXPECT_EQ(file.Tell(), -1);
    EXPECT_EQ(file.Length(), -1);
    EXPECT_FALSE(file.Truncate());
    EXPECT_FALSE(file.Flush());
    EXPECT_TRUE(file.ReadAll().IsEmpty());
    EXPECT_STREQ(file.Text(), "Bad implementation");
}

TEST_F(CZelFileTest, ThrowModeThrowsLastErrors)
{
    try {
        CZelFile file(ZPath("missing"), "R|SrSw", EErrorMode::Throw);
        FAIL() << "no throw";
    } catch (const XTOOLastError& e) {
        EXPECT_EQ(e.Code(), ENOENT);
    }
    // The older 0/1 flag selects the same modes.
    EXPECT_THROW(CZelFile(ZPath("missing"), "R|SrSw", 1), XTOOLastError);
    EXPECT_FALSE(CZelFile(ZPath("missing"), "R|SrSw", 0).IsOpen());

    CZelFile closed;
    EXPECT_EQ(closed.ErrorMode(), EErrorMode::ReturnCodes);
    EXPECT_EQ(closed.Read(nullptr, 0), -1);
    closed.SetErrorMode(EErrorMode::Throw);
    try {
        closed.Read(nullptr, 0);
        FAIL() << "no throw";
    } catch (const XTOOLastError& e) {
        EXPECT_STREQ(e.Text(), "Bad implementation");
    }
}

TEST_F(CZelFileTest, OpeningAFolderFails)
{
    CZelFile file(CZelString(m_dir), "R|SrSw");
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Code(), EISDIR);
    EXPECT_FALSE(CZelFile::FileExists(CZelString(m_dir)));
}

TEST_F(CZelFileTest, ReadWriteSeekTruncateRoundTrip)
{
    CZelFile file(ZPath("data.bin"), "RWCD|Sr");
    ASSERT_TRUE(file.IsOpen());
    const std::string bytes("one\0two\0three", 13);
    EXPECT_EQ(file.Write(bytes.data(), 13), 13);
    EXPECT_EQ(file.Tell(), 13);
    EXPECT_EQ(file.Length(), 13);
    EXPECT_EQ(file.Tell(), 13) << "Length keeps the position";

    ASSERT_TRUE(file.Seek(4));
    char buffer[16] = {};
    EXPECT_EQ(file.Read(buffer, 3), 3);
    EXPECT_EQ(std::string(buffer, 3), "two");
    ASSERT_TRUE(file.Seek(-5, 2));
    EXPECT_EQ(file.ReadAll(), CZelString("three"));
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 0) << "end of file";

    ASSERT_TRUE(file.Seek(3, 0));
    ASSERT_TRUE(file.Seek(1, 1));
    EXPECT_EQ(file.Tell(), 4);
    EXPECT_TRUE(file.Truncate());
    EXPECT_EQ(file.Length(), 4);
    EXPECT_TRUE(file.Flush());

    EXPECT_FALSE(file.Seek(0, 3));
    EXPECT_STREQ(file.Text(), "SetFilePointerEx() Error code=22 (Invalid argument)");
    EXPECT_FALSE(file.Seek(-1, 0));
    EXPECT_EQ(file.Code(), EINVAL);
    EXPECT_TRUE(file.Seek(0)) << "a successful operation clears the error";
    EXPECT_FALSE(file.IsSet());
    file.Close();
    EXPECT_EQ(ReadText("data.bin"), std::string("one\0", 4));
}

TEST_F(CZelFileTest, WriteOnAReadOnlyFileFailsWithTheWriteText)
{
    WriteText("ro", "x");
    CZelFile file(ZPath("ro"), "R|Sr");
    EXPECT_LT(file.Write(CZelString("abc")), 3);
    EXPECT_STREQ(file.Text(), "WriteFile() Error code=9 (Bad file descriptor)");
    EXPECT_EQ(ReadText("ro"), "x");
}

TEST_F(CZelFileTest, CopiesShareTheOpenFile)
{
    WriteText("shared", "abcdef");
    CZelFile copy;
    {
        CZelFile original(ZPath("shared"), "R|Sr");
        copy = original;
        char c;
        ASSERT_EQ(original.Read(&c, 1), 1);
    }
    EXPECT_TRUE(copy.IsOpen());
    EXPECT_EQ(copy.ReadAll(), CZelString("bcdef")) << "the position is the shared file's";
    CZelFile moved(std::move(copy));
    EXPECT_TRUE(moved.IsOpen());
}

TEST_F(CZelFileTest, StandardStreamsStayOpenAfterClose)
{
    {
        CZelFile out = CZelFile::StandardStream(1);
        ASSERT_TRUE(out.IsOpen());
        EXPECT_EQ(out.Write(CZelString("")), 0);
    }
    EXPECT_NE(::fcntl(1, F_GETFD), -1) << "standard output is still open";
    EXPECT_FALSE(CZelFile::StandardStream(7).IsOpen());
}

TEST_F(CZelFileTest, ReadAllStopsAtTheLimit)
{
    const int64_t limit = 31457280;
    {
        std::ofstream out(Path("big"), std::ios::binary);
        std::string block(1 << 20, 'z');
        for (int i = 0; i < 30; ++i)
            out << block;
        out << std::string(5000, 'y');
    }
    CZelFile file(ZPath("big"), "R|Sr");
    const CZelString all = file.ReadAll(limit);
    EXPECT_EQ(all.Length(), limit);
    EXPECT_EQ(file.Tell(), limit);
    EXPECT_EQ(file.ReadAll(), CZelString(std::string(5000, 'y')));
    EXPECT_TRUE(file.Seek(limit - 3));
    EXPECT_EQ(file.ReadAll(2), CZelString("zz"));
    EXPECT_EQ(file.ReadAll(0), CZelString());
}

TEST_F(CZelFileTest, ReadAllFromAPipeReadsUntilTheEnd)
{
    ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
    std::string sent;
    for (int i = 0; i < 30000; ++i)
        sent += std::to_string(i) + ",";
    // The writer fails rather than blocks should the reader stop early.
    auto previousHandler = std::signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] { std::ofstream(Path("fifo"), std::ios::binary) << sent; });
    CZelString got;
    {
        CZelFile file(ZPath("fifo"), "R|Sr");
        got = file.ReadAll();
        EXPECT_FALSE(file.IsSet()) << file.Text();
    }
    writer.join();
    std::signal(SIGPIPE, previousHandler);
    EXPECT_EQ(got.Length(), static_cast<int32_t>(sent.size()));
    EXPECT_EQ(got, CZelString(sent));
}

TEST_F(CZelFileTest, PrintFormatsAndWrites)
{
    CZelFile file(ZPath("log.txt"), "WC|Sr");
    const CZelString who("smtp");
    EXPECT_EQ(file.Print("%S %d\r\n", who, 25), 9);
    file.Close();
    EXPECT_EQ(ReadText("log.txt"), "smtp 25\r\n");
}

// ---- Name helpers ----

TEST_F(CZelFileTest, MkDirSingleAndWhole)
{
    EXPECT_FALSE(CZelFile::MkDir(ZPath("x/y"), true));
    try {
        CZelFile::MkDir(ZPath("x/y"), true, EErrorMode::Throw);
        FAIL() << "no throw";
    } catch (const XTOOErrno& e) {
        EXPECT_STREQ(e.Text(), "CZelFile::MkDir() No such file or directory");
    }
    EXPECT_TRUE(CZelFile::MkDir(ZPath("x"), false));
    EXPECT_TRUE(CZelFile::MkDir(ZPath("x"), true));
    try {
        CZelFile::MkDir(ZPath("x"), false, EErrorMode::Throw);
        FAIL() << "no throw";
    } catch (const XTOOErrno& e) {
        EXPECT_STREQ(e.Text(), "CZelFile::MkDir() File exists");
        EXPECT_EQ(e.Code(), 17);
    }
    WriteText("plain", "");
    EXPECT_FALSE(CZelFile::MkDir(ZPath("plain"), true)) << "a file is not a folder";

    EXPECT_TRUE(CZelFile::MkDirs(CZelString(Path("Accounts\\00000001\\Inbox\\"))));
    EXPECT_TRUE(fs::is_directory(Path("Accounts/00000001/Inbox")));
    EXPECT_TRUE(CZelFile::MkDirs(ZPath("Accounts/00000001/Inbox")));
    EXPECT_FALSE(CZelFile::MkDirs(ZPath("plain/below")));
    EXPECT_FALSE(CZelFile::MkDirs(CZelString()));
}

TEST_F(CZelFileTest, ExistenceSizeTimeDeleteRename)
{
    WriteText("a.xml", "12345");
    EXPECT_TRUE(CZelFile::FileExists(ZPath("a.xml")));
    EXPECT_FALSE(CZelFile::FileExists(ZPath("b.xml")));
    EXPECT_TRUE(CZelFile::IsFile(ZPath("a.xml")));
    EXPECT_FALSE(CZelFile::IsFile(CZelString(m_dir)));
    EXPECT_TRUE(CZelFile::IsDirectory(CZelString(m_dir)));
    EXPECT_EQ(CZelFile::FileLength(ZPath("a.xml")), 5);
    EXPECT_EQ(CZelFile::FileLength(ZPath("b.xml")), -1);
    EXPECT_THROW(CZelFile::FileLength(ZPath("b.xml"), EErrorMode::Throw), XTOOLastError);
    EXPECT_NEAR(static_cast<double>(CZelFile::GetFileTime64(ZPath("a.xml"))), static_cast<double>(::time(nullptr)), 60);
    EXPECT_EQ(CZelFile::GetFileTime64(ZPath("b.xml")), -1);
    EXPECT_TRUE(S_ISREG(CZelFile::GetFileAttributes(ZPath("a.xml"))));
    try {
        CZelFile::GetFileAttributes(ZPath("b.xml"), EErrorMode::Throw);
        FAIL() << "no throw";
    } catch (const XTOOLastError& e) {
        EXPECT_EQ(e.GetText(), CZelString("CZelFile::GetFileAttributes(" + Path("b.xml") +
                                          ") Error code=2 (No such file or directory)"));
    }

    WriteText("b.xml", "other");
    EXPECT_FALSE(CZelFile::Rename(ZPath("a.xml"), ZPath("b.xml"))) << "the new name exists";
    EXPECT_EQ(ReadText("b.xml"), "other");
    EXPECT_THROW(CZelFile::Rename(ZPath("a.xml"), ZPath("b.xml"), EErrorMode::Throw), XTOOLastError);
    EXPECT_TRUE(CZelFile::Rename(ZPath("a.xml"), ZPath("c.xml")));
    EXPECT_EQ(ReadText("c.xml"), "12345");
    EXPECT_FALSE(fs::exists(Path("a.xml")));

    EXPECT_TRUE(CZelFile::DeleteFile(ZPath("c.xml")));
    EXPECT_FALSE(CZelFile::DeleteFile(ZPath("c.xml")));
    try {
        CZelFile::DeleteFile(ZPath("c.xml"), EErrorMode::Throw);
        FAIL() << "no throw";
    } catch (const XTOOLastError& e) {
        EXPECT_EQ(e.GetText(), CZelString("DeleteFile " + Path("c.xml") + " error: Error code=2 (No such file or directory)"));
    }
}

TEST_F(CZelFileTest, ExecutablePathForms)
{
    const CZelString full = CZelFile::GetExeFileName(1);
    EXPECT_EQ(full[0], '/');
    EXPECT_EQ(CZelFile::GetExeFileName(0), CZelString("foundation_CZelFileTest"));
    EXPECT_EQ(CZelFile::GetExeFileName(-1), CZelString("foundation_CZelFileTest"));
    EXPECT_EQ(CZelFile::GetExeDir() + "foundation_CZelFileTest", full);
    EXPECT_TRUE(CZelFile::FileExists(full));
}

TEST_F(CZelFileTest, ChangingTheWorkingDirectory)
{
    const CZelString before = CZelFile::getcwd();
    ASSERT_FALSE(before.IsEmpty());
    ASSERT_TRUE(CZelFile::chdir(CZelString(m_dir + "/")));
    char* real = ::realpath(m_dir.c_str(), nullptr);
    EXPECT_EQ(CZelFile::getcwd(), CZelString(real));
    std::free(real);
    EXPECT_FALSE(CZelFile::chdir(ZPath("nowhere")));
    try {
        CZelFile::chdir(CZelString("nowhere"), EErrorMode::Throw);
        FAIL() << "no throw";
    } catch (const XTOOLastError& e) {
        EXPECT_STREQ(e.Text(), "CZelFile::chdir(\"nowhere\") Error code=2 (No such file or directory)");
    }
    ASSERT_TRUE(CZelFile::chdir(before));
}

TEST(ZelPathTest, Pieces)
{
    struct Case {
        const char* path;
        const char* folder;
        const char* name;
        const char* extension;
        const char* withoutExtension;
        const char* withoutAll;
    };
    const Case cases[] = {
        {"/opt/velmo/velmo.bin", "/opt/velmo", "velmo.bin", ".bin", "/opt/velmo/velmo", "/opt/velmo/velmo"},
        {"Accounts\\00000001\\1.msg", "Accounts/00000001", "1.msg", ".msg", "Accounts/00000001/1", "Accounts/00000001/1"},
        {"dir.d/prog", "dir.d", "prog", "", "dir.d/prog", "dir.d/prog"},
        {"a.tar.gz", "", "a.tar.gz", ".gz", "a.tar", "a"},
        {"folder/", "folder", "", "", "folder/", "folder/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ZelPath::Folder(c.path), CZelString(c.folder));
        EXPECT_EQ(ZelPath::FileName(c.path), CZelString(c.name));
        EXPECT_EQ(ZelPath::Extension(c.path), CZelString(c.extension));
        EXPECT_EQ(ZelPath::WithoutExtension(c.path), CZelString(c.withoutExtension));
        EXPECT_EQ(ZelPath::WithoutAllExtensions(c.path), CZelString(c.withoutAll));
    }
    EXPECT_EQ(ZelPath::Join("Accounts", "00000001.xml"), CZelString("Accounts/00000001.xml"));
    EXPECT_EQ(ZelPath::Join("Accounts/", "x"), CZelString("Accounts/x"));
    EXPECT_EQ(ZelPath::Join("home", "/abs"), CZelString("/abs"));
    EXPECT_EQ(ZelPath::Join("", "x"), CZelString("x"));
    EXPECT_EQ(ZelPath::Join("a\\b", ""), CZelString("a/b"));
}

// ---- Whole-file save ----

TEST_F(CZelFileTest, SaveWholeFileCreatesPrivateFilesAndFolders)
{
    XTOOError error;
    ASSERT_TRUE(CZelFile::SaveWholeFile(ZPath("Accounts/00000007/Outbox/key.bin"), CZelString("k3y"), EErrorMode::ReturnCodes, &error))
        << error.Text();
    EXPECT_EQ(ReadText("Accounts/00000007/Outbox/key.bin"), "k3y");
    EXPECT_EQ(Permissions(Path("Accounts/00000007/Outbox/key.bin")) & 077, 0);
    EXPECT_EQ(Permissions(Path("Accounts")) & 077, 0);
    EXPECT_EQ(NamesIn(Path("Accounts/00000007/Outbox")), std::vector<std::string>{"key.bin"});

    CZelString back;
    ASSERT_TRUE(CZelFile::LoadWholeFile(ZPath("Accounts\\00000007\\Outbox\\key.bin"), back));
    EXPECT_EQ(back, CZelString("k3y"));
}

TEST_F(CZelFileTest, SaveWholeFileReplacesContentAndKeepsPermissions)
{
    WriteText("config.xml", "old old old old");
    ASSERT_EQ(::chmod(Path("config.xml").c_str(), 0640), 0);
    const std::string binary("\0\1\2 new", 7);
    ASSERT_TRUE(CZelFile::SaveWholeFile(ZPath("config.xml"), CZelString(binary)));
    EXPECT_EQ(ReadText("config.xml"), binary);
    EXPECT_EQ(Permissions(Path("config.xml")), 0640);
    ASSERT_TRUE(CZelFile::SaveWholeFile(ZPath("config.xml"), CZelString()));
    EXPECT_EQ(ReadText("config.xml"), "");
    EXPECT_EQ(NamesIn(m_dir), std::vector<std::string>{"config.xml"});
}

TEST_F(CZelFileTest, SaveWholeFileThroughALinkKeepsTheLink)
{
    WriteText("real.xml", "before");
    fs::create_symlink(Path("real.xml"), Path("link.xml"));
    ASSERT_TRUE(CZelFile::SaveWholeFile(ZPath("link.xml"), CZelString("after")));
    EXPECT_TRUE(fs::is_symlink(Path("link.xml")));
    EXPECT_EQ(ReadText("real.xml"), "after");
}

TEST_F(CZelFileTest, FailedSaveLeavesTheOldFileIntact)
{
    WriteText("account.xml", "private key inside");
    // A file-size limit makes the write fail part way, even for a privileged user.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    XTOOError error;
    const bool saved = CZelFile::SaveWholeFile(ZPath("account.xml"), CZelString(std::string(5000, 'n')), EErrorMode::ReturnCodes, &error);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(saved);
    EXPECT_STREQ(error.Text(), "WriteFile() Error code=27 (File too large)");
    EXPECT_EQ(ReadText("account.xml"), "private key inside");
    EXPECT_EQ(NamesIn(m_dir), std::vector<std::string>{"account.xml"}) << "the temporary file is removed";
}

TEST_F(CZelFileTest, SaveWholeFileRefusesBadTargets)
{
    fs::create_directory(Path("folder"));
    XTOOError error;
    EXPECT_FALSE(CZelFile::SaveWholeFile(ZPath("folder"), CZelString("x"), EErrorMode::ReturnCodes, &error));
    EXPECT_EQ(error.Code(), EISDIR);
    EXPECT_TRUE(fs::is_directory(Path("folder")));
    WriteText("file", "f");
    EXPECT_FALSE(CZelFile::SaveWholeFile(ZPath("file/below.xml"), CZelString("x"), EErrorMode::ReturnCodes, &error));
    EXPECT_EQ(error.Code(), ENOTDIR);
    EXPECT_THROW(CZelFile::SaveWholeFile(CZelString(), CZelString("x"), EErrorMode::Throw), XTOOLastError);
    EXPECT_EQ(ReadText("file"), "f");

    CZelString bytes("untouched");
    EXPECT_FALSE(CZelFile::LoadWholeFile(ZPath("none"), bytes, -1, EErrorMode::ReturnCodes, &error));
    EXPECT_EQ(error.Code(), ENOENT);
    EXPECT_EQ(bytes, CZelString("untouched"));
}

// ---- Mode fuzzing: no crash, and no mode without C creates or without W changes a file ----

TEST_F(CZelFileTest, FuzzedModesNeverLoseOrInventFiles)
{
    const std::vector<std::string> seeds = {"R|SrSw", "R|Sr", "WCD|SrSw", "WCD|Sr", "RWCD|Sr", "WC|Sr", "RW|SrSw"};
    int round = 0;
    velmo_testing::RunMutationFuzzer(seeds, 1500, [&](const std::string& mode) {
        const std::string existing = "e" + std::to_string(round);
        const std::string missing = "m" + std::to_string(round);
        ++round;
        WriteText(existing, "keep");
        const std::string access = mode.substr(0, mode.find('|'));
        {
            CZelFile a(ZPath(existing), CZelString(mode));
            CZelFile b(ZPath(missing), CZelString(mode));
            if (!b.IsOpen()) {
                EXPECT_TRUE(b.IsSet());
            }
        }
        if (access.find('W') == std::string::npos) {
            ASSERT_EQ(ReadText(existing), "keep") << mode;
        }
        if (access.find('C') == std::string::npos) {
            ASSERT_FALSE(fs::exists(Path(missing))) << mode;
        }
        fs::remove(Path(existing));
        fs::remove(Path(missing));
    });
}

// ---- Memory-access log ----

TEST_F(CZelFileTest, MemoryAccessLogAppendsOneLinePerCall)
{
    int object = 0;
    ASSERT_TRUE(WriteMemoryAccessLog(kBadStringPtrCheck, &object, -1, nullptr, -1, m_dir.c_str()));
    ASSERT_TRUE(WriteMemoryAccessLog(kBadReadPtrCheck, nullptr, 16, "Format.cpp", 42, m_dir.c_str()));
    const std::string text = ReadText("logs/memory_access.txt");
    std::istringstream lines(text);
    std::string first, second, extra;
    ASSERT_TRUE(std::getline(lines, first));
    ASSERT_TRUE(std::getline(lines, second));
    EXPECT_FALSE(std::getline(lines, extra));

    char pointer[32];
    std::snprintf(pointer, sizeof pointer, "%p", static_cast<void*>(&object));
    const std::string expectedTail = std::string(": __is_bad_string_ptr(): memory access error at ptr=") + pointer +
                                     ", len=-1, SrcFile=unknown, SrcLine=-1";
    ASSERT_GT(first.size(), expectedTail.size());
    EXPECT_EQ(first.substr(first.size() - expectedTail.size()), expectedTail);
    // "dd.mm.yyyy hh:mm:ss" in front (the day padded with a space)
    int day = 0, month = 0, year = 0, hour = 0, minute = 0, second_ = 0;
    EXPECT_EQ(std::sscanf(first.c_str(), "%2d.%2d.%4d %2d:%2d:%2d:", &day, &month, &year, &hour, &minute, &second_), 6);
    EXPECT_GE(year, 2024);
    EXPECT_NE(second.find("__is_bad_read_ptr(): memory access error at ptr="), std::string::npos);
    EXPECT_NE(second.find(", len=16, SrcFile=Format.cpp, SrcLine=42"), std::string::npos);
}

} // namespace
