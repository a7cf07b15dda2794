#include "TestSupport.h"

namespace {

TEST(Smoke, LibraryLinks) {
    ZovNetPacket packet;
    EXPECT_EQ(packet.Size(), 11);
}

} // namespace
