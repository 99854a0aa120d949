#include "foundation/XTOOError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <netdb.h>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

struct MessageCase {
    const char* label;
    XTOOError error;
    std::string expected;
    int code;
};

TEST(XTOOErrorTest, MessageForms)
{
    const std::vector<MessageCase> cases = {
        {"plain text", XTOOErrMsg("Connection is closed"), "Connection is closed", 0},
        {"errno with text", XTOOErrno("CZelFile::MkDir()", EEXIST), "CZelFile::MkDir() File exists", EEXIST},
        {"errno without text", XTOOErrno("", ENOENT), "No such file or directory", ENOENT},
        {"errno zero without text", XTOOErrno("", 0), "", 0},
        {"errno zero with text", XTOOErrno("step", 0), "step Success", 0},
        {"errno without message", XTOOErrno("", 123456), "errno = 123456", 123456},
        {"last error with text", XTOOLastError("ReadFile()", EIO), "ReadFile() Error code=5 (Input/output error)", EIO},
        {"last error without text", XTOOLastError("", EACCES), "Error code=13 (Permission denied)", EACCES},
        {"last error zero", XTOOLastError("", 0), "", 0},
        {"last error unknown code", XTOOLastError("x", 123456), "x Error code=123456 (Unknown error)", 123456},
        {"exact last error", XTOOLastError::WithMessage("Bad implementation"), "Bad implementation", 0},
        {"peer closed", XTOOWsaErr(9999), "Connection is closed by remote host", 9999},
        {"socket code", XTOOWsaErr(ECONNRESET), "ECONNRESET - Connection reset by peer", ECONNRESET},
        {"refused", XTOOWsaErr(ECONNREFUSED), "ECONNREFUSED - Connection refused", ECONNREFUSED},
        {"socket zero", XTOOWsaErr(0), "", 0},
        {"socket unknown code", XTOOWsaErr(123456), "Winsock error 123456", 123456},
        {"socket error with name",
         XTOOSockErr("send ()", nullptr, "Connection to mail.example.org", ECONNRESET),
         "Connection to mail.example.org:send () ECONNRESET - Connection reset by peer", ECONNRESET},
        {"socket error without name", XTOOSockErr("bind ()", nullptr, "", EADDRINUSE),
         "bind () EADDRINUSE - Address already in use", EADDRINUSE},
        {"socket error peer closed", XTOOSockErr("recv ()", nullptr, "Server", 9999),
         "Server:recv () Connection is closed by remote host", 9999},
        {"socket error code zero", XTOOSockErr("Select()", nullptr, "", 0), "Select()", 0},
        {"dns error", XTOOSockDnsErr("gethostbyname(\"nowhere\")", "Connection to nowhere", EHOSTUNREACH),
         "Connection to nowhere:gethostbyname(\"nowhere\") EHOSTUNREACH - No route to host", EHOSTUNREACH},
        {"re-thrown with prefix", XTOOSockErr::WithMessage("fhttp.Read(): Server:recv () x", 9999),
         "fhttp.Read(): Server:recv () x", 9999},
        {"bare text", XTOOBareText("LongInt2::Divide() - Divider==0"), "LongInt2::Divide() - Divider==0", 0},
        {"bare text that looks like a format", XTOOBareText("100% %s %d"), "100% %s %d", 0},
        {"allocation failure", XTOOMemoryAllocationError(), "Memory allocation error", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.Text(), c.expected) << c.label;
        EXPECT_EQ(c.error.Code(), c.code) << c.label;
        EXPECT_STREQ(c.error.what(), c.error.Text()) << c.label;
    }
}

TEST(XTOOErrorTest, MinusOneTakesTheCurrentErrno)
{
    errno = EACCES;
    XTOOLastError last("open");
    errno = ECONNABORTED;
    XTOOWsaErr wsa;
    errno = ENOTDIR;
    XTOOErrno err("mkdir");
    errno = ETIMEDOUT;
    XTOOSockErr sock("connect (host, 25)", nullptr, "Connection to host");
    errno = EHOSTUNREACH;
    XTOOSockDnsErr dns("gethostbyname(\"h\")", "");

    EXPECT_EQ(last.Code(), EACCES);
    EXPECT_EQ(wsa.Code(), ECONNABORTED);
    EXPECT_STREQ(wsa.Text(), "ECONNABORTED - Software caused connection abort");
    EXPECT_EQ(err.Code(), ENOTDIR);
    EXPECT_EQ(sock.Code(), ETIMEDOUT);
    EXPECT_STREQ(sock.Text(), "Connection to host:connect (host, 25) ETIMEDOUT - Connection timed out");
    EXPECT_EQ(dns.Code(), EHOSTUNREACH);
}

TEST(XTOOErrorTest, ResolverCodesUseTheResolverMessage)
{
    const XTOOSockDnsErr error = XTOOSockDnsErr::FromResolverCode("gethostbyname(\"x.invalid\")", "Connection to x.invalid",
                                                                  EAI_NONAME);
    EXPECT_EQ(error.Text(), std::string("Connection to x.invalid:gethostbyname(\"x.invalid\") ") + gai_strerror(EAI_NONAME));
    EXPECT_EQ(error.Code(), EAI_NONAME);
}

TEST(XTOOErrorTest, SocketErrorRecordsTheSocketWithoutTouchingIt)
{
    int marker = 0;
    const XTOOSockErr error("send ()", &marker, "Client", EPIPE);
    EXPECT_EQ(error.Socket(), &marker);
    const XTOOSockClose closed;
    EXPECT_STREQ(closed.Text(), "Connection is closed");
    EXPECT_EQ(XTOOErrMsg("x").Socket(), nullptr);
}

TEST(XTOOErrorTest, CopiesShareTheBodyAndSurviveTheOriginal)
{
    XTOOError copy;
    const char* text = nullptr;
    {
        XTOOLastError original("ReadFile()", EIO);
        text = original.Text();
        copy = original;
    }
    EXPECT_EQ(copy.Text(), text);
    EXPECT_STREQ(copy.Text(), "ReadFile() Error code=5 (Input/output error)");

    copy.Clear();
    EXPECT_FALSE(copy.IsSet());
    EXPECT_STREQ(copy.Text(), "");
    EXPECT_EQ(copy.Code(), 0);
}

TEST(XTOOErrorTest, CatchingByTheFamily)
{
    try {
        throw XTOOSockDnsErr("gethostbyname(\"a\")", "n", EHOSTUNREACH);
    } catch (const XTOOSockErr& e) {
        EXPECT_EQ(e.Code(), EHOSTUNREACH);
    }
    try {
        throw XTOOErrno("CZelFile::MkDir()", EEXIST);
    } catch (const XTOOError& e) {
        EXPECT_STREQ(e.Text(), "CZelFile::MkDir() File exists");
    }
    try {
        throw XTOOSockClose();
    } catch (const XTOOBaseError& e) {
        EXPECT_STREQ(e.Text(), "Connection is closed");
    }
}

TEST(XTOOErrorTest, BareTextsBelongToTheFamilyAndTheExitRequestDoesNot)
{
    static_assert(!std::is_base_of_v<std::exception, eExitThread>);
    static_assert(!std::is_base_of_v<XTOOBaseError, eExitThread>);
    static_assert(std::is_base_of_v<XTOOBareText, XTOOMemoryAllocationError>);
    static_assert(!std::is_base_of_v<XTOOSockErr, XTOOBareText>);
    try {
        ThrowMemoryAllocationError();
    } catch (const XTOOError& error) {
        EXPECT_STREQ(error.Text(), "Memory allocation error");
        EXPECT_NE(dynamic_cast<const XTOOMemoryAllocationError*>(&error), nullptr);
    }
    // Whatever catches standard exceptions gets the same text.
    try {
        throw XTOOBareText("no random source for the seed");
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "no random source for the seed");
    }
}

TEST(XTOOErrorTest, AllocationFailuresShareOneBody)
{
    const XTOOMemoryAllocationError first;
    const XTOOMemoryAllocationError second;
    EXPECT_EQ(first.Text(), second.Text()) << "the same text, not a copy of it";
}

TEST(XTOOErrorTest, CopyingBetweenThreadsKeepsTheBodyAlive)
{
    const XTOOLastError shared("WriteFile()", ENOSPC);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared] {
            for (int i = 0; i < 20000; ++i) {
                XTOOError copy = shared;
                XTOOError other(copy);
                ASSERT_EQ(other.Code(), ENOSPC);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_STREQ(shared.Text(), "WriteFile() Error code=28 (No space left on device)");
}

} // namespace
