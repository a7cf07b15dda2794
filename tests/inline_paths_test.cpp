// The packet's inline forms as a program compiles them without ZOVNET_CHECKED, whichever library
// it links: a program of the debug library that leaves the definition out still meets every
// check, since the inline forms take only the cases where every precondition holds.
#undef ZOVNET_CHECKED
#include "PacketSupport.h"

#include <string>

namespace {

static_assert(ZOVNET_PACKET_INLINE, "this file compiles the inline forms");

TEST(InlinePaths, ReadsPastTheEndStillReachTheLibrarysCheck) {
    if (!zovtest::kDebugLibrary)
        GTEST_SKIP() << "the checks exist only in the debug library";
    zovtest::UseThreadsafeDeathTests();
    EXPECT_EXIT(
        {
            ZovNetPacket packet;
            packet.AddInt16(1);
            packet.GoToStart();
            packet.ReadInt32();
        },
        ::testing::ExitedWithCode(1), zovtest::Ere("Fatal error: m_cursor\\+3 < m_usize\n"));
    EXPECT_EXIT(ZovNetPacket().AddBin(nullptr, 4), ::testing::ExitedWithCode(1),
                zovtest::Ere("Fatal error: s != NULL\n"));
    EXPECT_EXIT(
        {
            ZovNetPacket packet;
            zovtest::WriteBytes(packet, {0x00, 0x06, 0x01, 0x00, 0x09, 'a'});
            char text[4];
            packet.ReadString(text, sizeof text);
        },
        ::testing::ExitedWithCode(1),
        zovtest::Ere("Fatal error: m_cursor\\+2\\+count <= m_usize\n"));
}

// Each inline form and its out-of-line half give the same bytes and the same state.
TEST(InlinePaths, FastAndSlowFormsAgree) {
    ZovNetPacket grown(0);     // every Add grows it: the library's half
    ZovNetPacket sized(1, 64); // every Add fits: the inline half
    for (ZovNetPacket* p : {&grown, &sized}) {
        p->SetType(1);
        p->AddInt8(0x81);
        p->AddInt16(0x8283);
        p->AddInt32(0x84858687u);
        p->AddInt64(0x88898A8B8C8D8E8Full);
        p->AddString("zov");
        p->AddBin("\x90\x91", 2);
    }
    EXPECT_EQ(zovtest::Bytes(grown.Data(), grown.Data() + grown.Length()),
              zovtest::Bytes(sized.Data(), sized.Data() + sized.Length()));
    for (ZovNetPacket* p : {&grown, &sized}) {
        p->GoToStart();
        EXPECT_EQ(p->ReadInt8(), 0x81);
        EXPECT_EQ(p->ReadInt16(), 0x8283);
        EXPECT_EQ(p->ReadInt32(), 0x84858687u);
        EXPECT_EQ(p->ReadInt64(), 0x88898A8B8C8D8E8Full);
        char text[2]; // too small: the library's half cuts it
        EXPECT_EQ(p->ReadString(text, sizeof text), 3u);
        EXPECT_STREQ(text, "z");
        unsigned char bin[2];
        EXPECT_EQ(p->ReadBin(bin, 2), 2u);
        EXPECT_EQ(bin[1], 0x91);
        EXPECT_EQ(p->Remaining(), 0u);
        EXPECT_TRUE(p->Valid());
    }
}

} // namespace
