#pragma once
// Starts the networking library once for a test program and stops it at the end.

#include "net/ZelSockets.h"

#include <gtest/gtest.h>

namespace protocoltest {

class SocketsEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(SocketsStart(true)); }
    void TearDown() override { SocketsStop(); }
};

inline ::testing::Environment* const kSocketsEnvironment =
    ::testing::AddGlobalTestEnvironment(new SocketsEnvironment);

} // namespace protocoltest
