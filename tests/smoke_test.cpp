#include "TestSupport.h"

#include <string>

namespace {

TEST(Smoke, LibraryLinks) {
    ZovNetPacket packet;
    EXPECT_EQ(packet.Size(), 11);
}

// The header's version is the one the build declares in project(... VERSION ...), so that a
// release cannot ship a header that names another version than its packages and libraries.
TEST(Version, HeaderMatchesTheBuildsVersion) {
    const std::string numbers = std::to_string(ZOVNET_VERSION_MAJOR) + "." +
                                std::to_string(ZOVNET_VERSION_MINOR) + "." +
                                std::to_string(ZOVNET_VERSION_PATCH);
    EXPECT_EQ(numbers, ZOVNET_PROJECT_VERSION);
    EXPECT_EQ(std::string(ZOVNET_VERSION_STRING), ZOVNET_PROJECT_VERSION);
}

} // namespace
