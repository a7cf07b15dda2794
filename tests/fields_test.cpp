// The content fields: big-endian integers and raw byte runs, how the packet grows to take them,
// the 65535-byte limit, and reads at the end of the content.
#include "PacketSupport.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <string>
#include <vector>

namespace {

using zovtest::BufferOf;
using zovtest::Bytes;
using zovtest::FillTo;
using zovtest::HoldsInvariant;
using zovtest::Pattern;
using zovtest::StateOf;
using zovtest::WriteBytes;

enum class Field { Int8, Int16, Int32, Bin };

// Raw bytes that AddBin takes from: large enough for any field the tests add.
const Bytes& BinSource() {
    static const Bytes source = Pattern(0x21, 65535);
    return source;
}

// Adds one field; `value` is the integer, or the byte count for Bin.
void Add(ZovNetPacket& packet, Field field, unsigned int value) {
    switch (field) {
    case Field::Int8:
        packet.AddInt8(static_cast<unsigned char>(value));
        break;
    case Field::Int16:
        packet.AddInt16(static_cast<unsigned short>(value));
        break;
    case Field::Int32:
        packet.AddInt32(value);
        break;
    case Field::Bin:
        packet.AddBin(BinSource().data(), value);
        break;
    }
}

unsigned int Read(ZovNetPacket& packet, Field field) {
    switch (field) {
    case Field::Int8:
        return packet.ReadInt8();
    case Field::Int16:
        return packet.ReadInt16();
    case Field::Int32:
        return packet.ReadInt32();
    case Field::Bin:
        break;
    }
    ADD_FAILURE() << "not an integer field";
    return 0;
}

// The bytes a field puts on the wire.
Bytes WireOf(Field field, unsigned int value) {
    switch (field) {
    case Field::Int8:
        return {static_cast<unsigned char>(value)};
    case Field::Int16:
        return {static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    case Field::Int32:
        return {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
                static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    case Field::Bin:
        return Bytes(BinSource().begin(), BinSource().begin() + value);
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// Encoding

TEST(FieldEncoding, IntegersAreBigEndianBothWays) {
    const struct {
        Field field;
        unsigned int value;
        Bytes wire;
    } cases[] = {
        {Field::Int8, 0x00, {0x00}},
        {Field::Int8, 0xFF, {0xFF}},
        {Field::Int16, 0x0203, {0x02, 0x03}},
        {Field::Int16, 32769, {0x80, 0x01}},
        {Field::Int16, 0xFFFF, {0xFF, 0xFF}},
        {Field::Int32, 67438087, {0x04, 0x05, 0x06, 0x07}},
        {Field::Int32, 16909060, {0x01, 0x02, 0x03, 0x04}},
        {Field::Int32, 4294967294u, {0xFF, 0xFF, 0xFF, 0xFE}},
        {Field::Int32, 0x80000001u, {0x80, 0x00, 0x00, 0x01}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "value " << c.value);
        const auto length = static_cast<unsigned char>(3 + c.wire.size());
        Bytes message = {0x00, length, 0x10};
        message.insert(message.end(), c.wire.begin(), c.wire.end());

        ZovNetPacket sent(0x10, 0);
        Add(sent, c.field, c.value);
        EXPECT_EQ(sent.Cursor(), length);
        const unsigned char* data = sent.Data();
        EXPECT_EQ(Bytes(data, data + sent.Length()), message);

        ZovNetPacket received;
        EXPECT_EQ(WriteBytes(received, message), "");
        EXPECT_EQ(Read(received, c.field), c.value);
        EXPECT_EQ(received.Cursor(), length);
    }
}

TEST(FieldEncoding, WorkedExampleByteForByte) {
    const Bytes wire = {0x00, 0x0D, 0x11, 0x01, 0x02, 0x03, 0x04,
                        0x05, 0x06, 0x07, 0xAA, 0xBB, 0xCC};
    const unsigned char raw[] = {0xAA, 0xBB, 0xCC};
    auto addFields = [&](ZovNetPacket& packet) {
        packet.AddInt8(0x01);
        packet.AddInt16(0x0203);
        packet.AddInt32(67438087);
        packet.AddBin(raw, sizeof raw);
    };

    ZovNetPacket sized(0x11, 10);
    addFields(sized);
    EXPECT_EQ(sized.Size(), 13);

    ZovNetPacket grown;
    grown.SetType(0x11);
    grown.AddInt8(0x01);
    grown.AddInt16(0x0203);
    grown.AddInt32(67438087);
    EXPECT_EQ(grown.Size(), 11);
    EXPECT_EQ(grown.Cursor(), 10);
    grown.AddBin(raw, sizeof raw);
    EXPECT_EQ(grown.Size(), 21);

    for (ZovNetPacket* packet : {&sized, &grown}) {
        EXPECT_EQ(packet->Length(), 13);
        EXPECT_EQ(packet->Cursor(), 13);
        packet->Data();
        Bytes expected = wire;
        expected.resize(packet->Size(), 0);
        EXPECT_EQ(BufferOf(*packet), expected);
    }

    ZovNetPacket received;
    EXPECT_EQ(WriteBytes(received, wire), "");
    EXPECT_EQ(received.Type(), 0x11);
    EXPECT_EQ(received.ReadInt8(), 0x01);
    EXPECT_EQ(received.ReadInt16(), 0x0203);
    EXPECT_EQ(received.ReadInt32(), 67438087u);
    Bytes dest(10, 0xEE);
    EXPECT_EQ(received.ReadBin(dest.data(), 10), 3u);
    EXPECT_EQ(dest, (Bytes{0xAA, 0xBB, 0xCC, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(received.Cursor(), 13);
    EXPECT_EQ(received.ReadBin(dest.data(), 10), 0u);
    EXPECT_EQ(received.Cursor(), 13);
}

// ---------------------------------------------------------------------------------------------
// Adds: room, growth and overwriting

TEST(FieldGrowth, GrowsOnlyWhenTheFieldDoesNotFitAndThenExactly) {
    const struct {
        const char* name;
        Field field;
        unsigned int value; // byte count for Bin
        unsigned short cursor;
        unsigned short size; // of a 16-byte packet afterwards
    } cases[] = {
        {"Int8 with one byte of room", Field::Int8, 0x9A, 15, 16},
        {"Int8 at the end of the buffer", Field::Int8, 0x9A, 16, 24},
        {"Int16 with two bytes of room", Field::Int16, 0x9A9B, 14, 16},
        {"Int16 with one byte of room", Field::Int16, 0x9A9B, 15, 23},
        {"Int32 with four bytes of room", Field::Int32, 0x9A9B9C9D, 12, 16},
        {"Int32 with three bytes of room", Field::Int32, 0x9A9B9C9D, 13, 21},
        {"Bin of 5 with five bytes of room", Field::Bin, 5, 11, 16},
        {"Bin of 5 with four bytes of room", Field::Bin, 5, 12, 25},
        {"Bin of 1 at the end of the buffer", Field::Bin, 1, 16, 25},
        {"Bin larger than the buffer", Field::Bin, 40, 3, 51},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZovNetPacket packet(0x42, 13);
        FillTo(packet, c.cursor, c.cursor);
        const Bytes before = BufferOf(packet);

        Add(packet, c.field, c.value);
        const Bytes wire = WireOf(c.field, c.value);
        EXPECT_EQ(packet.Size(), c.size);
        EXPECT_EQ(packet.Cursor(), c.cursor + wire.size());
        EXPECT_EQ(packet.Length(), c.cursor + wire.size());

        Bytes expected(before.begin(), before.begin() + c.cursor);
        expected.insert(expected.end(), wire.begin(), wire.end());
        expected.resize(c.size, 0);
        EXPECT_EQ(BufferOf(packet), expected);
    }
}

TEST(FieldGrowth, GrowthKeepsTypeAndEarlierFields) {
    ZovNetPacket packet(0x5E, 0);
    ASSERT_EQ(packet.Size(), 8);
    packet.AddInt32(16909060);
    packet.AddInt16(0x0506);
    EXPECT_EQ(packet.Size(), 15);
    const unsigned char* data = packet.Data();
    EXPECT_EQ(Bytes(data, data + packet.Length()),
              (Bytes{0x00, 0x09, 0x5E, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06}));
}

TEST(FieldGrowth, AddsAfterACursorMoveOverwriteAndExtendOnlyPastTheEnd) {
    const struct {
        const char* name;
        unsigned short cursor; // in a packet of length 10
        Field field;
        unsigned int value;
        unsigned short length, newCursor;
    } cases[] = {
        {"Int16 at the start", 3, Field::Int16, 0xFFFF, 10, 5},
        {"Int32 ending at the end", 6, Field::Int32, 0xA1A2A3A4, 10, 10},
        {"Int32 crossing the end", 8, Field::Int32, 0xA1A2A3A4, 12, 12},
        {"Bin in the middle", 4, Field::Bin, 3, 10, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZovNetPacket packet(0x42, 20);
        FillTo(packet, 10, c.cursor);
        const Bytes before = BufferOf(packet);

        Add(packet, c.field, c.value);
        EXPECT_EQ(packet.Length(), c.length);
        EXPECT_EQ(packet.Cursor(), c.newCursor);
        EXPECT_EQ(packet.Size(), 23);
        Bytes expected = before;
        const Bytes wire = WireOf(c.field, c.value);
        std::copy(wire.begin(), wire.end(), expected.begin() + c.cursor);
        EXPECT_EQ(BufferOf(packet), expected);
    }
}

TEST(FieldGrowth, EmptyBinChangesNothingEvenWhenFull) {
    for (const unsigned short length : {3, 7, 8}) {
        SCOPED_TRACE(length);
        ZovNetPacket packet(0x42, 0);
        FillTo(packet, length, length);
        const auto before = StateOf(packet);
        packet.AddBin(BinSource().data(), 0);
        EXPECT_EQ(StateOf(packet), before);
    }
}

// A packet cannot pass 65535 bytes: a field that would take it there writes nothing, and a growth
// request above 65535 is capped when the field still fits. The Bin source is only 65535 bytes, so
// the sanitizer build also catches a huge AddBin that reads its source before refusing.
TEST(FieldLimit, NothingIsWrittenPast65535Bytes) {
    const struct {
        const char* name;
        unsigned short room;   // constructor argument: Size() is room + 3
        unsigned short cursor; // filled up to here
        Field field;
        unsigned int value;
        bool written;
        unsigned short size; // afterwards
    } cases[] = {
        {"full packet, Int8", 65532, 65535, Field::Int8, 0x7A, false, 65535},
        {"full packet, Int16", 65532, 65535, Field::Int16, 0x7A7B, false, 65535},
        {"full packet, Int32", 65532, 65535, Field::Int32, 0x7A7B7C7D, false, 65535},
        {"full packet, Bin of 1", 65532, 65535, Field::Bin, 1, false, 65535},
        {"last byte, Int8", 65532, 65534, Field::Int8, 0x7A, true, 65535},
        {"last byte, Int16", 65532, 65534, Field::Int16, 0x7A7B, false, 65535},
        {"last two bytes, Int16", 65532, 65533, Field::Int16, 0x7A7B, true, 65535},
        {"last three bytes, Int32", 65532, 65532, Field::Int32, 0x7A7B7C7D, false, 65535},
        {"growth capped, Int8", 65527, 65530, Field::Int8, 0x7A, true, 65535},
        {"growth capped, Int32", 65527, 65530, Field::Int32, 0x7A7B7C7D, true, 65535},
        {"growth capped, Bin of 5", 65527, 65530, Field::Bin, 5, true, 65535},
        {"no growth past the limit, Bin of 6", 65527, 65530, Field::Bin, 6, false, 65530},
        {"largest Bin into a new packet", 8, 3, Field::Bin, 65532, true, 65535},
        {"Bin one byte too large", 8, 3, Field::Bin, 65533, false, 11},
        {"Bin whose end wraps 32 bits", 8, 3, Field::Bin, UINT_MAX - 2, false, 11},
        {"Bin of the largest count", 8, 3, Field::Bin, UINT_MAX, false, 11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZovNetPacket packet(0x42, c.room);
        FillTo(packet, c.cursor, c.cursor);
        const auto before = StateOf(packet);

        Add(packet, c.field, c.value);
        EXPECT_TRUE(HoldsInvariant(packet));
        EXPECT_EQ(packet.Size(), c.size);
        if (!c.written) {
            EXPECT_EQ(StateOf(packet), before);
            continue;
        }
        const Bytes wire = WireOf(c.field, c.value);
        EXPECT_EQ(packet.Cursor(), c.cursor + wire.size());
        EXPECT_EQ(packet.Length(), c.cursor + wire.size());
        const Bytes now = BufferOf(packet);
        EXPECT_TRUE(std::equal(wire.begin(), wire.end(), now.begin() + c.cursor));
    }
}

// ---------------------------------------------------------------------------------------------
// Reads at the end of the content

// A 7-byte message (type 9, content AA BB CC DD) with four more received bytes behind its used
// size: a read that strays past Length() would see them.
const Bytes kContent = {0xAA, 0xBB, 0xCC, 0xDD};

void ReceiveShortMessage(ZovNetPacket& packet) {
    WriteBytes(packet, {0x00, 0x07, 0x09, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0xF1, 0xF2});
    ASSERT_EQ(packet.Length(), 7);
}

TEST(FieldRead, IntegerReadsUpToTheUsedSize) {
    const struct {
        unsigned short skip;
        Field field;
        unsigned int value;
    } cases[] = {
        {0, Field::Int32, 0xAABBCCDD}, {2, Field::Int16, 0xCCDD}, {3, Field::Int8, 0xDD},
        {0, Field::Int16, 0xAABB},     {1, Field::Int8, 0xBB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "skip " << c.skip);
        ZovNetPacket packet;
        ReceiveShortMessage(packet);
        packet.MoveCursor(static_cast<short>(c.skip));
        EXPECT_EQ(Read(packet, c.field), c.value);
        EXPECT_EQ(packet.Cursor(), 3 + c.skip + WireOf(c.field, 0).size());
    }
}

TEST(FieldRead, IntegerReadsPastTheUsedSizeReturnZeroInTheReleaseLibrary) {
    if (zovtest::kDebugLibrary)
        GTEST_SKIP() << "the debug library stops here";
    const struct {
        unsigned short skip;
        Field field;
    } cases[] = {
        {1, Field::Int32}, {2, Field::Int32}, {3, Field::Int32}, {4, Field::Int32},
        {3, Field::Int16}, {4, Field::Int16}, {4, Field::Int8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "skip " << c.skip);
        ZovNetPacket packet;
        ReceiveShortMessage(packet);
        packet.MoveCursor(static_cast<short>(c.skip));
        EXPECT_EQ(Read(packet, c.field), 0u);
        EXPECT_EQ(packet.Cursor(), 3 + c.skip);
    }
}

TEST(FieldRead, ReadBinCopiesWhatIsLeftAndNoMore) {
    const struct {
        unsigned short skip;
        unsigned int n;
        unsigned int copied;
    } cases[] = {
        {0, 10, 4}, {0, 4, 4}, {0, 1, 1}, {3, 10, 1}, {4, 10, 0}, {0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "skip " << c.skip << ", n " << c.n);
        ZovNetPacket packet;
        ReceiveShortMessage(packet);
        packet.MoveCursor(static_cast<short>(c.skip));
        Bytes dest(c.n + 1, 0x77);

        EXPECT_EQ(packet.ReadBin(dest.data(), c.n), c.copied);
        EXPECT_EQ(packet.Cursor(), 3 + c.skip + c.copied);
        Bytes expected(c.n + 1, 0x77);
        std::copy(kContent.begin() + c.skip, kContent.begin() + c.skip + c.copied,
                  expected.begin());
        EXPECT_EQ(dest, expected);
    }
}

// ---------------------------------------------------------------------------------------------
// Sources and destinations inside the packet's own buffer (Content() is public)

// Each case works on a packet whose buffer holds pattern bytes; the operation takes its source or
// destination inside that buffer. The result must be what it would be had the bytes been copied
// out first: growth may move the buffer, and the ranges may overlap. The sanitizer build reports
// a read of a freed block or an overlapping copy.
TEST(FieldAliasing, OperationsOnThePacketsOwnBytes) {
    struct Case {
        const char* name;
        unsigned short length, cursor; // the packet before, filled by FillTo in a 11-byte buffer
        std::function<void(ZovNetPacket&)> operation;
        std::function<Bytes(const Bytes&)> expected; // the used bytes after, from those before
        unsigned short lengthAfter, cursorAfter;
    };
    const Case cases[] = {
        {"AddBin of the whole content, growing", 11, 11,
         [](ZovNetPacket& p) { p.AddBin(p.Content(), 8); },
         [](const Bytes& b) {
             Bytes e = b;
             e.resize(19);
             std::copy(b.begin() + 3, b.begin() + 11, e.begin() + 11);
             return e;
         },
         19, 19},
        {"AddBin of a run that overlaps where it goes", 11, 6,
         [](ZovNetPacket& p) { p.AddBin(p.Content() + 1, 5); },
         [](const Bytes& b) {
             Bytes e = b;
             std::copy(b.begin() + 4, b.begin() + 9, e.begin() + 6);
             return e;
         },
         11, 11},
        {"AddBin of an overlapping run, growing", 11, 9,
         [](ZovNetPacket& p) { p.AddBin(p.Content() + 2, 6); },
         [](const Bytes& b) {
             Bytes e = b;
             e.resize(15);
             std::copy(b.begin() + 5, b.begin() + 11, e.begin() + 9);
             return e;
         },
         15, 15},
        {"ReadBin into the bytes it reads", 11, 5,
         [](ZovNetPacket& p) { EXPECT_EQ(p.ReadBin(p.Content(), 4), 4u); },
         [](const Bytes& b) {
             Bytes e = b;
             std::copy(b.begin() + 5, b.begin() + 9, e.begin() + 3);
             return e;
         },
         11, 9},
        {"WritePacket of a message inside the buffer", 11, 11,
         [](ZovNetPacket& p) {
             unsigned char* buffer = p.Content() - PACKET_HEADER_SIZE;
             const unsigned char message[] = {0x00, 0x05, 0x09, 0xAA, 0xBB};
             std::copy(message, message + sizeof message, buffer + 2);
             EXPECT_EQ(zovtest::StdoutOf([&] { p.WritePacket(buffer + 2, 5); }), "");
         },
         [](const Bytes&) {
             return Bytes{0x00, 0x05, 0x09, 0xAA, 0xBB};
         },
         5, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZovNetPacket packet;
        FillTo(packet, c.length, c.cursor);
        const Bytes before = BufferOf(packet);
        const Bytes used(before.begin(), before.begin() + packet.Length());

        c.operation(packet);
        EXPECT_EQ(packet.Length(), c.lengthAfter);
        EXPECT_EQ(packet.Cursor(), c.cursorAfter);
        const Bytes after = BufferOf(packet);
        EXPECT_EQ(Bytes(after.begin(), after.begin() + packet.Length()), c.expected(used));
        EXPECT_TRUE(HoldsInvariant(packet));
    }
}

// ---------------------------------------------------------------------------------------------
// Debug checks

TEST(FieldChecks, BadArgumentsAndOverreadsAreFatalInTheDebugLibrary) {
    if (!zovtest::kDebugLibrary)
        GTEST_SKIP() << "the release library does not check";
    const struct {
        const char* name;
        std::function<void()> body;
        const char* expression; // as a regular expression
    } cases[] = {
        {"AddBin from null", [] { ZovNetPacket().AddBin(nullptr, 4); }, "s != NULL"},
        {"AddBin of nothing from null", [] { ZovNetPacket().AddBin(nullptr, 0); }, "s != NULL"},
        {"ReadInt8 with nothing left", [] { ZovNetPacket().ReadInt8(); }, "m_cursor < m_usize"},
        {"ReadInt16 with one byte left",
         [] {
             ZovNetPacket packet;
             packet.AddInt8(1);
             packet.GoToStart();
             packet.ReadInt16();
         },
         "m_cursor\\+1 < m_usize"},
        {"ReadInt32 with three bytes left",
         [] {
             ZovNetPacket packet;
             packet.AddInt16(1);
             packet.AddInt8(2);
             packet.GoToStart();
             packet.ReadInt32();
         },
         "m_cursor\\+3 < m_usize"},
        {"ReadBin into null",
         [] {
             ZovNetPacket packet;
             packet.AddInt8(1);
             packet.GoToStart();
             packet.ReadBin(nullptr, 1);
         },
         "dest != NULL"},
        {"ReadBin into null with nothing left", [] { ZovNetPacket().ReadBin(nullptr, 0); },
         "dest != NULL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string pattern = std::string("Fatal error: ") + c.expression +
                                    "\n\nFile: src/ZovNetPacket\\.cpp\nLine: [0-9]+\n";
        EXPECT_EXIT(c.body(), ::testing::ExitedWithCode(1), zovtest::Ere(pattern));
    }
}

} // namespace
