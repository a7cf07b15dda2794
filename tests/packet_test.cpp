// The packet as a buffer: construction, copying, sizing, the wire header, the hand-over from
// received bytes and the cursor.
#include "PacketSupport.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using zovtest::BufferOf;
using zovtest::Bytes;
using zovtest::FillTo;
using zovtest::HoldsInvariant;
using zovtest::MismatchLine;
using zovtest::Pattern;
using zovtest::StateOf;
using zovtest::WriteBytes;

// NextPacket is private and nothing in the library calls it, yet it parses bytes from the network,
// so it is tested directly. An explicit instantiation may name a private member: this one passes
// the member's address to a free function and opens nothing else of the class.
template <void (ZovNetPacket::*Member)()> struct NextPacketAccess {
    friend void NextPacket(ZovNetPacket& packet) { (packet.*Member)(); }
};
template struct NextPacketAccess<&ZovNetPacket::NextPacket>;
void NextPacket(ZovNetPacket& packet);

// An all-zero buffer of `size` bytes with `type` in byte 2.
Bytes EmptyBuffer(std::size_t size, unsigned char type) {
    Bytes bytes(size, 0);
    bytes[2] = type;
    return bytes;
}

// ---------------------------------------------------------------------------------------------
// Construction

TEST(PacketConstruction, SizesTypeAndZeroFill) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<ZovNetPacket>()> make;
        unsigned short size;
        unsigned char type;
    };
    const Case cases[] = {
        {"default", [] { return std::make_unique<ZovNetPacket>(); }, 11, 0},
        {"type 7, no content", [] { return std::make_unique<ZovNetPacket>(7, 0); }, 8, 7},
        {"content 5 is exactly the minimum",
         [] { return std::make_unique<ZovNetPacket>(static_cast<unsigned short>(5)); }, 8, 0},
        {"content 6", [] { return std::make_unique<ZovNetPacket>(0x80, 6); }, 9, 0x80},
        {"largest content", [] { return std::make_unique<ZovNetPacket>(1, 65532); }, 65535, 1},
        {"content above 65532 wraps", [] { return std::make_unique<ZovNetPacket>(2, 65533); }, 8,
         2},
        {"content 65535 wraps",
         [] { return std::make_unique<ZovNetPacket>(static_cast<unsigned short>(65535)); }, 8, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::unique_ptr<ZovNetPacket> packet = c.make();
        EXPECT_EQ(packet->Size(), c.size);
        EXPECT_EQ(packet->Length(), 3);
        EXPECT_EQ(packet->Cursor(), 3);
        EXPECT_EQ(packet->Type(), c.type);
        EXPECT_EQ(BufferOf(*packet), EmptyBuffer(c.size, c.type));
        const unsigned char* data = packet->Data();
        EXPECT_EQ(Bytes(data, data + 3), (Bytes{0x00, 0x03, c.type}));
    }
}

// ---------------------------------------------------------------------------------------------
// Copy construction and copy assignment

struct CopyCase {
    const char* name;
    std::function<void(ZovNetPacket&)> build; // brings a source packet into its state
    unsigned short contentRoom;               // the source's constructor argument
    unsigned short size;                      // expected of the copy
    unsigned short length;
    unsigned short cursor;
    bool headerOnly; // the copy is 8 zero bytes but the type; otherwise a prefix of the source
};

const CopyCase kCopyCases[] = {
    {"type 5 without content", [](ZovNetPacket& p) { p.SetType(5); }, 8, 8, 3, 3, true},
    {"header-only message with bytes behind it",
     [](ZovNetPacket& p) {
         WriteBytes(p, {0x00, 0x03, 0x07, 0xAA, 0xBB});
     },
     8, 8, 3, 3, true},
    {"length 20 in a 100-byte buffer",
     [](ZovNetPacket& p) {
         p.SetType(0x21);
         FillTo(p, 20, 10);
     },
     97, 20, 20, 10, false},
    {"length 5 gets the minimum",
     [](ZovNetPacket& p) {
         p.SetType(0x22);
         FillTo(p, 5, 5);
     },
     30, 8, 5, 5, false},
    {"received bytes behind the length field",
     [](ZovNetPacket& p) {
         WriteBytes(p, {0x00, 0x09, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9});
     },
     8, 9, 9, 3, false},
};

// The packet the copy rules give for a source.
void ExpectCopyOf(const ZovNetPacket& copy, const ZovNetPacket& source, const CopyCase& c) {
    EXPECT_EQ(copy.Size(), c.size);
    EXPECT_EQ(copy.Length(), c.length);
    EXPECT_EQ(copy.Cursor(), c.cursor);
    EXPECT_EQ(copy.Type(), source.Type());
    const Bytes from = BufferOf(source);
    EXPECT_EQ(BufferOf(copy), c.headerOnly ? EmptyBuffer(c.size, source.Type())
                                           : Bytes(from.begin(), from.begin() + c.size));
    EXPECT_NE(copy.Content(), source.Content());
    EXPECT_TRUE(HoldsInvariant(copy));
}

TEST(PacketCopy, ConstructionTrimsToUsedSizeAndKeepsType) {
    for (const CopyCase& c : kCopyCases) {
        SCOPED_TRACE(c.name);
        ZovNetPacket source(c.contentRoom);
        c.build(source);
        const auto before = StateOf(source);
        const ZovNetPacket copy(source);
        ExpectCopyOf(copy, source, c);
        EXPECT_EQ(StateOf(source), before);
    }
}

TEST(PacketCopy, AssignmentFollowsTheCopyRulesWhateverTheTarget) {
    const std::function<std::unique_ptr<ZovNetPacket>()> targets[] = {
        [] { return std::make_unique<ZovNetPacket>(); },
        [] {
            auto big = std::make_unique<ZovNetPacket>(0x77, 500);
            FillTo(*big, 300, 100);
            return big;
        },
    };
    for (const CopyCase& c : kCopyCases) {
        for (const auto& makeTarget : targets) {
            SCOPED_TRACE(c.name);
            ZovNetPacket source(c.contentRoom);
            c.build(source);
            const auto before = StateOf(source);
            const std::unique_ptr<ZovNetPacket> target = makeTarget();
            *target = source;
            ExpectCopyOf(*target, source, c);
            EXPECT_EQ(StateOf(source), before);
        }
    }
}

TEST(PacketCopy, CopiesNeverShareBytes) {
    ZovNetPacket source(0x31, 20);
    FillTo(source, 12, 12);
    ZovNetPacket constructed(source);
    ZovNetPacket assigned;
    assigned = source;
    const auto before = StateOf(source);

    constructed.GoToStart();
    constructed.AddInt32(0xDEADBEEF);
    assigned.GoToStart();
    assigned.AddInt32(0xCAFEF00D);
    EXPECT_EQ(StateOf(source), before);
    EXPECT_NE(BufferOf(constructed), BufferOf(assigned));
}

TEST(PacketCopy, SelfAssignmentChangesNothing) {
    ZovNetPacket packet(0x41, 97);
    FillTo(packet, 20, 7);
    const auto before = StateOf(packet);
    ZovNetPacket& alias = packet;
    packet = alias;
    EXPECT_EQ(StateOf(packet), before);
}

// ---------------------------------------------------------------------------------------------
// Allocate

TEST(PacketAllocate, ResizesExactlyAndBoundsLengthAndCursor) {
    enum class Buffer { Unchanged, PrefixKept, Zeroed };
    struct Case {
        const char* name;
        unsigned short room; // constructor argument: Size() is room + 3, at least 8
        unsigned short length, cursor;
        unsigned short request;
        bool keep, shrink;
        unsigned short size, newLength, newCursor;
        Buffer buffer;
    };
    const Case cases[] = {
        {"below minimum, keep", 0, 6, 4, 5, true, false, 8, 6, 4, Buffer::Unchanged},
        {"below minimum, shrink", 0, 6, 4, 5, false, true, 8, 6, 4, Buffer::Unchanged},
        {"below minimum, keep and shrink", 0, 6, 4, 5, true, true, 8, 6, 4, Buffer::Unchanged},
        {"below minimum, neither", 0, 6, 4, 5, false, false, 8, 6, 4, Buffer::Unchanged},
        {"same size without keep", 8, 7, 5, 11, false, true, 11, 7, 5, Buffer::Unchanged},
        {"smaller without shrink", 17, 15, 12, 10, true, false, 20, 15, 12, Buffer::Unchanged},
        {"shrink below length and cursor", 17, 15, 12, 10, true, true, 10, 10, 10,
         Buffer::PrefixKept},
        {"shrink above length", 17, 9, 6, 12, true, true, 12, 9, 6, Buffer::PrefixKept},
        {"shrink to the minimum", 17, 15, 12, 0, true, true, 8, 8, 8, Buffer::PrefixKept},
        {"shrink without keep", 17, 15, 12, 10, false, true, 10, 10, 10, Buffer::Zeroed},
        {"grow with keep", 8, 7, 5, 30, true, false, 30, 7, 5, Buffer::PrefixKept},
        {"grow without keep", 8, 7, 5, 30, false, false, 30, 7, 5, Buffer::Zeroed},
        {"grow to the largest", 8, 11, 11, 65535, true, false, 65535, 11, 11, Buffer::PrefixKept},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZovNetPacket packet(9, c.room);
        FillTo(packet, c.length, c.cursor);
        const Bytes old = BufferOf(packet);

        EXPECT_EQ(packet.Allocate(c.request, c.keep, c.shrink), c.size);
        EXPECT_EQ(packet.Size(), c.size);
        EXPECT_EQ(packet.Length(), c.newLength);
        EXPECT_EQ(packet.Cursor(), c.newCursor);
        EXPECT_TRUE(HoldsInvariant(packet));

        Bytes expected(c.size, 0);
        if (c.buffer == Buffer::Unchanged) {
            expected = old;
        } else if (c.buffer == Buffer::PrefixKept) {
            const std::size_t kept = std::min<std::size_t>(old.size(), c.size);
            std::copy(old.begin(), old.begin() + kept, expected.begin());
        }
        EXPECT_EQ(BufferOf(packet), expected);
    }
}

// ---------------------------------------------------------------------------------------------
// Reset, Data and SetType

TEST(PacketReset, ZeroesTheWholeAllocationButTheType) {
    ZovNetPacket packet;
    // A short length field leaves received bytes behind the used size; Reset clears them too.
    Bytes received = Pattern(0, 40);
    received[0] = 0x00;
    received[1] = 0x08;
    received[2] = 0x5A;
    WriteBytes(packet, received);
    ASSERT_EQ(packet.Size(), 40);

    packet.Reset();
    EXPECT_EQ(packet.Size(), 40);
    EXPECT_EQ(packet.Length(), 3);
    EXPECT_EQ(packet.Cursor(), 3);
    EXPECT_EQ(BufferOf(packet), EmptyBuffer(40, 0x5A));
}

TEST(PacketData, StampsTheUsedSizeBigEndian) {
    const struct {
        unsigned short length;
        unsigned char high, low;
    } cases[] = {{3, 0x00, 0x03}, {255, 0x00, 0xFF}, {256, 0x01, 0x00}, {300, 0x01, 0x2C}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        ZovNetPacket packet(0x6B, 400);
        FillTo(packet, c.length, 3);
        const Bytes before = BufferOf(packet);

        unsigned char* data = packet.Data();
        EXPECT_EQ(data, packet.Content() - PACKET_HEADER_SIZE);
        Bytes expected = before;
        expected[0] = c.high;
        expected[1] = c.low;
        EXPECT_EQ(BufferOf(packet), expected);
        EXPECT_EQ(packet.Length(), c.length);
        EXPECT_EQ(packet.Cursor(), 3);
    }
}

TEST(PacketData, RestampsAReceivedHeaderWithTheBoundedLength) {
    // A packet forwarded as received must go out with a header that matches what is sent.
    const struct {
        Bytes received;
        unsigned char high, low;
    } cases[] = {
        {{0x00, 0x00, 0x09, 0xAA, 0xBB}, 0x00, 0x03},
        {{0xFF, 0xFF, 0x09, 0xAA, 0xBB}, 0x00, 0x0B},
        {{0x00, 0x07, 0x09, 0xAA, 0xBB}, 0x00, 0x07},
    };
    for (const auto& c : cases) {
        ZovNetPacket packet;
        WriteBytes(packet, c.received);
        const unsigned char* data = packet.Data();
        EXPECT_EQ(data[0], c.high);
        EXPECT_EQ(data[1], c.low);
        EXPECT_EQ((data[0] << 8) | data[1], packet.Length());
    }
}

TEST(PacketData, SetTypeTouchesOnlyTheTypeByte) {
    ZovNetPacket packet;
    WriteBytes(packet, {0x00, 0x06, 0x09, 0xAA, 0xBB, 0xCC});
    packet.MoveCursor(1);
    const Bytes before = BufferOf(packet);

    packet.SetType(0x33);
    Bytes expected = before;
    expected[2] = 0x33;
    EXPECT_EQ(BufferOf(packet), expected);
    EXPECT_EQ(packet.Type(), 0x33);
    EXPECT_EQ(packet.Length(), 6);
    EXPECT_EQ(packet.Cursor(), 4);
}

// ---------------------------------------------------------------------------------------------
// WritePacket

TEST(PacketWrite, WellFormedMessage) {
    ZovNetPacket packet;
    const Bytes message = {0x00, 0x05, 0x09, 0xAA, 0xBB};
    EXPECT_EQ(WriteBytes(packet, message), "");
    EXPECT_EQ(packet.Length(), 5);
    EXPECT_EQ(packet.Type(), 9);
    EXPECT_EQ(packet.Cursor(), 3);
    EXPECT_EQ(packet.Size(), 11);
    Bytes expected = message;
    expected.resize(11, 0);
    EXPECT_EQ(BufferOf(packet), expected);
}

TEST(PacketWrite, LengthFieldBeyondTheReceivedBytesIsReportedAndKept) {
    ZovNetPacket packet;
    EXPECT_EQ(WriteBytes(packet, {0x00, 0x07, 0x09, 0xAA, 0xBB}),
              "WritePacket: size(5) != usize(7)\n");
    EXPECT_EQ(packet.Length(), 7);
    EXPECT_EQ(packet.Type(), 9);
    EXPECT_EQ(packet.Cursor(), 3);
}

TEST(PacketWrite, ZeroOrOversizedInputChangesNothing) {
    // 65566 would pass for 30 if it were cut to 16 bits.
    const Bytes huge(65566, 0xFF);
    for (const unsigned int size : {0u, 65536u, 65537u, 65566u}) {
        SCOPED_TRACE(size);
        ZovNetPacket packet(0x12, 20);
        FillTo(packet, 15, 9);
        const auto before = StateOf(packet);
        EXPECT_EQ(zovtest::StdoutOf([&] { packet.WritePacket(huge.data(), size); }), "");
        EXPECT_EQ(StateOf(packet), before);
    }
}

TEST(PacketWrite, NeverShrinksAndKeepsTheBytesBehindTheInput) {
    ZovNetPacket packet(0x12, 20);
    FillTo(packet, 23, 9);
    const Bytes before = BufferOf(packet);
    const Bytes message = {0x00, 0x05, 0x09, 0xAA, 0xBB};
    WriteBytes(packet, message);

    Bytes expected = before;
    std::copy(message.begin(), message.end(), expected.begin());
    EXPECT_EQ(BufferOf(packet), expected);
    EXPECT_EQ(packet.Length(), 5);
    EXPECT_EQ(packet.Cursor(), 3);
}

// Whatever the bytes, the packet must stay inside its buffer: the used size is bounded to
// 3 ... Size(), the cursor restarts at 3, and no byte beyond the input is read (the inputs are
// exact-size heap blocks, so the sanitizer build catches an over-read).
TEST(PacketWrite, HostileInputsKeepTheInvariant) {
    struct Case {
        const char* name;
        Bytes before; // written first, to leave earlier bytes in the buffer; empty: fresh packet
        Bytes input;
        std::string printed;
        unsigned short length, size;
    };
    Bytes twenty(20, 0x5C);
    auto withField = [](Bytes bytes, unsigned char high, unsigned char low) {
        bytes[0] = high;
        bytes[1] = low;
        return bytes;
    };
    Bytes largest(65535, 0x11);
    largest[0] = largest[1] = 0xFF;
    const Bytes elevenBytePacket = withField(Bytes(11, 0x0B), 0x00, 0x0B);

    const Case cases[] = {
        {"length field 0", {}, {0x00, 0x00, 0x09, 0xAA, 0xBB}, MismatchLine(5, 0), 3, 11},
        {"length field 1", {}, {0x00, 0x01, 0x09}, MismatchLine(3, 1), 3, 11},
        {"length field 2, two bytes", {}, {0x00, 0x02}, "", 3, 11},
        {"length field 2", {}, {0x00, 0x02, 0x09}, MismatchLine(3, 2), 3, 11},
        {"header only", {}, {0x00, 0x03, 0x09}, "", 3, 11},
        {"length field below the bytes",
         {},
         {0x00, 0x04, 0x09, 0xAA, 0xBB},
         MismatchLine(5, 4),
         4,
         11},
        {"length field above the allocation",
         {},
         {0x01, 0x00, 0x09, 0xAA, 0xBB},
         MismatchLine(5, 256),
         11,
         11},
        {"length field 65535", {}, {0xFF, 0xFF, 0x09}, MismatchLine(3, 65535), 11, 11},
        {"one byte 00, earlier second byte not read",
         elevenBytePacket,
         {0x00},
         MismatchLine(1, 0),
         3,
         11},
        {"one byte 01", elevenBytePacket, {0x01}, MismatchLine(1, 256), 11, 11},
        {"grows, field matches", {}, withField(twenty, 0x00, 20), "", 20, 20},
        {"grows, field above", {}, withField(twenty, 0x00, 0xFF), MismatchLine(20, 255), 20, 20},
        {"grows, field 0", {}, withField(twenty, 0x00, 0x00), MismatchLine(20, 0), 3, 20},
        {"largest message", {}, largest, "", 65535, 65535},
        {"largest input, field 2",
         {},
         withField(largest, 0x00, 0x02),
         MismatchLine(65535, 2),
         3,
         65535},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZovNetPacket packet;
        if (!c.before.empty())
            WriteBytes(packet, c.before);

        EXPECT_EQ(WriteBytes(packet, c.input), c.printed);
        EXPECT_EQ(packet.Length(), c.length);
        EXPECT_EQ(packet.Size(), c.size);
        EXPECT_EQ(packet.Cursor(), 3);
        EXPECT_TRUE(HoldsInvariant(packet));

        const Bytes now = BufferOf(packet);
        ASSERT_GE(now.size(), c.input.size());
        EXPECT_TRUE(std::equal(c.input.begin(), c.input.end(), now.begin()));
        // The used bytes that did not arrive are zero, never left over from the earlier bytes.
        if (packet.Length() > c.input.size()) {
            EXPECT_EQ(Bytes(now.begin() + c.input.size(), now.begin() + packet.Length()),
                      Bytes(packet.Length() - c.input.size(), 0));
        }
        if (c.input.size() < 3) {
            EXPECT_EQ(packet.Type(), 0) << "no type byte arrived: not the earlier one either";
        }
        // Reading the whole content must stay inside the buffer.
        Bytes all(70000);
        packet.GoToStart();
        EXPECT_EQ(packet.ReadBin(all.data(), static_cast<unsigned int>(all.size())),
                  packet.Length() - 3u);
    }
}

// One packet reused for datagrams from two senders: the second, shorter one must not show the
// first one's text in the used size its length field gives.
TEST(PacketWrite, ReusedPacketNeverShowsAnEarlierMessage) {
    const std::string text = "secret text of the first one";
    Bytes first(3 + text.size());
    first[1] = static_cast<unsigned char>(first.size());
    first[2] = 0x07;
    std::copy(text.begin(), text.end(), first.begin() + 3);
    // One byte (its length field 256 is bounded to the buffer), a header whose field is above the
    // buffer, and one whose field is the buffer's size.
    const std::vector<Bytes> seconds = {{0x01}, {0x00, 0x20, 0x08}, {0x00, 0x1F, 0x08, 0x41}};
    for (const Bytes& second : seconds) {
        SCOPED_TRACE(::testing::Message() << second.size() << " bytes");
        ZovNetPacket packet;
        WriteBytes(packet, first);
        ASSERT_EQ(packet.Length(), first.size());

        WriteBytes(packet, second);
        EXPECT_EQ(packet.Length(), first.size()) << "the used size is the length field, bounded";
        const Bytes now = BufferOf(packet);
        Bytes expected(packet.Length(), 0);
        std::copy(second.begin(), second.end(), expected.begin());
        EXPECT_EQ(Bytes(now.begin(), now.begin() + packet.Length()), expected);
    }
}

TEST(PacketWrite, NullDataIsFatalInTheDebugLibrary) {
    if (!zovtest::kDebugLibrary)
        GTEST_SKIP() << "the release library does not check";
    const char* pattern =
        "Fatal error: data != NULL\n\nFile: src/ZovNetPacket\\.cpp\nLine: [0-9]+\n";
    for (const unsigned int size : {0u, 5u}) {
        SCOPED_TRACE(size);
        EXPECT_EXIT(
            {
                ZovNetPacket packet;
                packet.WritePacket(nullptr, size);
            },
            ::testing::ExitedWithCode(1), zovtest::Ere(pattern));
    }
}

TEST(PacketWrite, NullDataWithNothingToCopyIsIgnoredInTheReleaseLibrary) {
    if (zovtest::kDebugLibrary)
        GTEST_SKIP() << "the debug library stops here";
    ZovNetPacket packet(0x12, 20);
    FillTo(packet, 10, 5);
    const auto before = StateOf(packet);
    packet.WritePacket(nullptr, 0);
    EXPECT_EQ(StateOf(packet), before);
}

// ---------------------------------------------------------------------------------------------
// Cursor

TEST(PacketCursor, MovesAreClampedToTheContent) {
    const struct {
        unsigned short cursor, length;
        short delta;
        unsigned short expected;
    } cases[] = {
        {10, 20, -100, 3},   {10, 20, 100, 20},   {10, 20, 0, 10},     {10, 20, -7, 3},
        {10, 20, -8, 3},     {10, 20, -6, 4},     {10, 20, 10, 20},    {10, 20, 9, 19},
        {10, 20, -32768, 3}, {10, 20, 32767, 20}, {3, 3, 5, 3},        {3, 3, -5, 3},
        {300, 400, -297, 3}, {300, 400, 99, 399}, {300, 400, -298, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "at " << c.cursor << " by " << c.delta);
        ZovNetPacket packet(400);
        FillTo(packet, c.length, c.cursor);
        ASSERT_EQ(packet.Cursor(), c.cursor);
        const Bytes before = BufferOf(packet);
        packet.MoveCursor(c.delta);
        EXPECT_EQ(packet.Cursor(), c.expected);
        EXPECT_EQ(packet.Length(), c.length);
        EXPECT_EQ(BufferOf(packet), before);
    }
}

TEST(PacketCursor, StartAndEnd) {
    ZovNetPacket packet;
    FillTo(packet, 9, 6);
    packet.GoToEnd();
    EXPECT_EQ(packet.Cursor(), 9);
    packet.GoToStart();
    EXPECT_EQ(packet.Cursor(), 3);
    EXPECT_EQ(packet.Length(), 9);
}

// ---------------------------------------------------------------------------------------------
// NextPacket

TEST(PacketNext, ShiftsTheFollowingMessageToTheFront) {
    ZovNetPacket packet(17);
    Bytes received = Pattern(0, 20);
    received[0] = 0x00;
    received[1] = 0x08;
    received[8] = 0x00;
    received[9] = 0x05;
    WriteBytes(packet, received);
    ASSERT_EQ(packet.Size(), 20);
    ASSERT_EQ(packet.Length(), 8);

    NextPacket(packet);
    EXPECT_EQ(packet.Length(), 5);
    EXPECT_EQ(packet.Cursor(), 3);
    EXPECT_EQ(packet.Size(), 20);
    Bytes expected(received.begin() + 8, received.end());
    expected.resize(20, 0);
    EXPECT_EQ(BufferOf(packet), expected);
}

TEST(PacketNext, WalksBackToBackMessages) {
    const Bytes stream = {0x00, 0x05, 0x01, 0xA1, 0xA2,        // type 1, two bytes
                          0x00, 0x04, 0x02, 0xB1,              // type 2, one byte
                          0x00, 0x06, 0x03, 0xC1, 0xC2, 0xC3}; // type 3, three bytes
    ZovNetPacket packet;
    EXPECT_EQ(WriteBytes(packet, stream), MismatchLine(15, 5));

    const struct {
        unsigned char type;
        Bytes content;
    } messages[] = {{1, {0xA1, 0xA2}}, {2, {0xB1}}, {3, {0xC1, 0xC2, 0xC3}}};
    for (const auto& m : messages) {
        SCOPED_TRACE(static_cast<int>(m.type));
        EXPECT_EQ(packet.Type(), m.type);
        EXPECT_EQ(packet.Length(), 3 + m.content.size());
        Bytes content(m.content.size() + 1, 0xEE);
        EXPECT_EQ(packet.ReadBin(content.data(), static_cast<unsigned int>(content.size())),
                  m.content.size());
        content.pop_back();
        EXPECT_EQ(content, m.content);
        NextPacket(packet);
        EXPECT_TRUE(HoldsInvariant(packet));
    }
    // Only zeros are left: no usable length.
    EXPECT_EQ(packet.Length(), 3);
    EXPECT_EQ(packet.Type(), 0);
}

TEST(PacketNext, UnusableLengthsKeepTheInvariant) {
    struct Case {
        const char* name;
        unsigned short length;   // of the current message, inside a 20-byte buffer
        unsigned char high, low; // the length field found behind it
        unsigned short next;
    };
    const Case cases[] = {
        {"field 0", 8, 0x00, 0x00, 3},
        {"field 2", 8, 0x00, 0x02, 3},
        {"field beyond the rest", 8, 0x00, 0x0D, 12},
        {"field 65535", 8, 0xFF, 0xFF, 12},
        {"rest of 2 bytes", 18, 0x00, 0x09, 3},
        {"rest of 1 byte", 19, 0xFF, 0x00, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZovNetPacket packet(17);
        Bytes received = Pattern(0, 20);
        received[0] = static_cast<unsigned char>(c.length >> 8);
        received[1] = static_cast<unsigned char>(c.length);
        received[c.length] = c.high;
        if (c.length + 1u < received.size())
            received[c.length + 1u] = c.low;
        WriteBytes(packet, received);
        ASSERT_EQ(packet.Length(), c.length);

        NextPacket(packet);
        EXPECT_EQ(packet.Length(), c.next);
        EXPECT_EQ(packet.Cursor(), 3);
        EXPECT_EQ(packet.Size(), 20);
        EXPECT_TRUE(HoldsInvariant(packet));
    }
}

TEST(PacketNext, NothingBehindAFullBuffer) {
    ZovNetPacket packet(17);
    FillTo(packet, 20, 7);
    const auto before = StateOf(packet);
    NextPacket(packet);
    EXPECT_EQ(StateOf(packet), before);
}

} // namespace
