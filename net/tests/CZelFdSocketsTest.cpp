// The socket set on its own: who owns a socket as it goes in, moves between sets and comes out.
#include "net/CZelFdSockets.h"

#include "foundation/XTOOError.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

// A socket that tells when it is destroyed.
class TrackedSocket : public CZelSocket {
public:
    explicit TrackedSocket(int& destroyed, int handle = -1) : CZelSocket(handle), m_destroyed(destroyed) {}
    ~TrackedSocket() override { ++m_destroyed; }

private:
    int& m_destroyed;
};

TEST(CZelFdSockets, TheSetOwnsWhatItIsGivenAndDestroysItOnce)
{
    int destroyedA = 0, destroyedB = 0;
    {
        CZelFdSockets set;
        TrackedSocket* a = set.AddSocket(std::make_unique<TrackedSocket>(destroyedA), zelsock::kWantRead);
        auto owned = std::make_unique<TrackedSocket>(destroyedB);
        owned->Create();
        TrackedSocket* b = set.AddSocket(std::move(owned), zelsock::kWantRead | zelsock::kWantWrite);
        EXPECT_EQ(set.Count(), 2u);
        EXPECT_EQ(set.Sockets(), (std::vector<CZelSocket*>{a, b}));   // the order of adding
        EXPECT_EQ(a->Set(), &set);
        EXPECT_EQ(b->Interest(), zelsock::kWantRead | zelsock::kWantWrite);
        EXPECT_EQ(set.AddSocket(std::unique_ptr<TrackedSocket>(), 0), nullptr);
        EXPECT_EQ(set.Count(), 2u);
        EXPECT_EQ(destroyedA + destroyedB, 0);
    }
    EXPECT_EQ(destroyedA, 1);
    EXPECT_EQ(destroyedB, 1);
}

TEST(CZelFdSockets, ARemovedSocketIsTheCallersAndMayJoinAnotherSet)
{
    int destroyed = 0;
    CZelFdSockets first;
    CZelFdSockets second;
    TrackedSocket* socket = first.AddSocket(std::make_unique<TrackedSocket>(destroyed), zelsock::kWantRead);

    std::unique_ptr<CZelSocket> back = first.RemoveSocket(socket);
    ASSERT_EQ(back.get(), socket);
    EXPECT_TRUE(first.IsEmpty());
    EXPECT_EQ(socket->Set(), nullptr);
    EXPECT_EQ(first.RemoveSocket(socket), nullptr);

    EXPECT_EQ(second.AddSocket(std::move(back), zelsock::kWantWrite), socket);
    EXPECT_TRUE(second.Contains(socket));
    EXPECT_EQ(second.Interest(socket), zelsock::kWantWrite);
    second.DeleteAllSockets();
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(second.IsEmpty());
}

// A socket handed in again, by whoever still had a pointer to it, keeps its one owner: its place
// stays, it takes the new interest word, and it is destroyed once.
TEST(CZelFdSockets, ASocketHandedInTwiceKeepsItsPlaceAndOneOwner)
{
    int destroyedA = 0, destroyedB = 0;
    {
        CZelFdSockets set;
        CZelFdSockets other;
        TrackedSocket* a = set.AddSocket(std::make_unique<TrackedSocket>(destroyedA), zelsock::kWantRead);
        TrackedSocket* b = set.AddSocket(std::make_unique<TrackedSocket>(destroyedB), 0);

        EXPECT_EQ(set.AddSocket(std::unique_ptr<TrackedSocket>(a), zelsock::kWantWrite), a);
        EXPECT_EQ(set.Sockets(), (std::vector<CZelSocket*>{a, b}));
        EXPECT_EQ(set.Interest(a), zelsock::kWantWrite);

        EXPECT_EQ(other.AddSocket(std::unique_ptr<TrackedSocket>(b), zelsock::kWantRead), b);
        EXPECT_EQ(set.Sockets(), (std::vector<CZelSocket*>{a}));
        EXPECT_EQ(b->Set(), &other);
        EXPECT_EQ(destroyedA + destroyedB, 0);
    }
    EXPECT_EQ(destroyedA, 1);
    EXPECT_EQ(destroyedB, 1);
}

TEST(CZelFdSockets, ASocketThePlatformCannotWatchIsRefusedAndDestroyed)
{
    // Readiness of a regular file cannot be watched: the platform refuses it.
    const std::string path = testing::TempDir() + "fdsockets-plain-file";
    const int handle = ::open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(handle, 0);
    ::unlink(path.c_str());

    int destroyed = 0;
    CZelFdSockets set;
    EXPECT_THROW(set.AddSocket(std::make_unique<TrackedSocket>(destroyed, handle), zelsock::kWantRead),
                 XTOOSockErr);
    EXPECT_TRUE(set.IsEmpty());
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(::fcntl(handle, F_GETFD), -1);   // the socket closed its handle as it went
}

} // namespace
