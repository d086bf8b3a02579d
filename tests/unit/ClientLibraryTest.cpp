#include <gtest/gtest.h>

#include "client/ProtocolClient.h"

namespace vserver::client {
namespace {

TEST(ClientLibrary, Placeholder) { EXPECT_EQ(ToHex("\xA7"), "a7"); }

} // namespace
} // namespace vserver::client
