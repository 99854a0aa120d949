#pragma once
// Starts the networking library once for the test program that includes this header, and
// stops it after the last test.

#include "net/ZelSockets.h"

#include <gtest/gtest.h>

namespace velmo_testing {

class SocketsEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(SocketsStart(true)); }
    void TearDown() override { SocketsStop(); }
};

inline ::testing::Environment* const kSocketsEnvironment =
    ::testing::AddGlobalTestEnvironment(new SocketsEnvironment);

} // namespace velmo_testing
