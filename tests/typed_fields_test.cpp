// The 64-bit, floating-point and string fields: their bytes, round trips bit for bit, the
// 65535-byte limit, reads past the end in both libraries, and the checks a reader makes with
// Remaining() and Valid().
#include "PacketSupport.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

using zovtest::Bytes;
using zovtest::StateOf;
using zovtest::WriteBytes;

Bytes ContentOf(const ZovNetPacket& packet) {
    return Bytes(packet.Content(), packet.Content() + (packet.Length() - PACKET_HEADER_SIZE));
}

std::uint32_t BitsOf(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

std::uint64_t BitsOf(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

float FloatOf(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

double DoubleOf(std::uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// ---------------------------------------------------------------------------------------------
// Encodings: the bytes are spelt out, so that a host-order mistake fails on either byte order.

TEST(TypedFieldEncoding, SixtyFourBitValuesAreBigEndian) {
    const struct {
        unsigned long long value;
        Bytes bytes;
    } cases[] = {
        {0x0102030405060708ull, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}},
        {0, Bytes(8, 0x00)},
        {~0ull, Bytes(8, 0xFF)},
        {1, {0, 0, 0, 0, 0, 0, 0, 1}},
        {0x8000000000000000ull, {0x80, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        ZovNetPacket packet(1, 8);
        packet.AddInt64(c.value);
        EXPECT_EQ(ContentOf(packet), c.bytes);
        EXPECT_EQ(packet.Length(), 11);
        packet.GoToStart();
        EXPECT_EQ(packet.ReadInt64(), c.value);
        EXPECT_EQ(packet.Remaining(), 0u);
        EXPECT_TRUE(packet.Valid());
    }
}

TEST(TypedFieldEncoding, FloatsTravelAsTheirBitPatternsBitForBit) {
    const struct {
        const char* name;
        std::uint32_t bits;
    } floats[] = {
        {"1.0", 0x3F800000u},
        {"-2.5", 0xC0200000u},
        {"+0", 0x00000000u},
        {"-0", 0x80000000u},
        {"+infinity", 0x7F800000u},
        {"-infinity", 0xFF800000u},
        {"quiet NaN with payload", 0x7FC12345u},
        {"signalling NaN with payload", 0x7F800001u},
        {"smallest subnormal", 0x00000001u},
    };
    for (const auto& c : floats) {
        SCOPED_TRACE(c.name);
        ZovNetPacket packet;
        packet.AddFloat(FloatOf(c.bits));
        EXPECT_EQ(ContentOf(packet), (Bytes{static_cast<unsigned char>(c.bits >> 24),
                                            static_cast<unsigned char>(c.bits >> 16),
                                            static_cast<unsigned char>(c.bits >> 8),
                                            static_cast<unsigned char>(c.bits)}));
        packet.GoToStart();
        EXPECT_EQ(BitsOf(packet.ReadFloat()), c.bits);
    }

    const struct {
        const char* name;
        std::uint64_t bits;
    } doubles[] = {
        {"1.0", 0x3FF0000000000000ull},
        {"-0.1", 0xBFB999999999999Aull},
        {"-0", 0x8000000000000000ull},
        {"+infinity", 0x7FF0000000000000ull},
        {"-infinity", 0xFFF0000000000000ull},
        {"quiet NaN with payload", 0x7FF8000000ABCDEFull},
        {"signalling NaN with payload", 0x7FF0000000000001ull},
        {"largest finite", 0x7FEFFFFFFFFFFFFFull},
    };
    for (const auto& c : doubles) {
        SCOPED_TRACE(c.name);
        ZovNetPacket packet;
        packet.AddDouble(DoubleOf(c.bits));
        Bytes expected;
        for (int shift = 56; shift >= 0; shift -= 8)
            expected.push_back(static_cast<unsigned char>(c.bits >> shift));
        EXPECT_EQ(ContentOf(packet), expected);
        packet.GoToStart();
        EXPECT_EQ(BitsOf(packet.ReadDouble()), c.bits);
    }
}

TEST(TypedFieldEncoding, StringsAreACountThenTheBytes) {
    const struct {
        const char* text;
        Bytes bytes;
    } cases[] = {
        {"", {0x00, 0x00}},
        {"zov", {0x00, 0x03, 'z', 'o', 'v'}},
        {"\xC3\xA9t\xC3\xA9", {0x00, 0x05, 0xC3, 0xA9, 't', 0xC3, 0xA9}}, // bytes, not characters
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ZovNetPacket packet(2, 0);
        packet.AddString(c.text);
        EXPECT_EQ(ContentOf(packet), c.bytes);
        packet.GoToStart();
        char text[16] = "garbage";
        EXPECT_EQ(packet.ReadString(text, sizeof text), std::strlen(c.text));
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(packet.Remaining(), 0u);
    }
}

// ---------------------------------------------------------------------------------------------
// Growth and the 65535-byte limit

TEST(TypedFieldGrowth, WideFieldsGrowAsTheIntegersDo) {
    ZovNetPacket packet(0); // an 8-byte buffer: 5 content bytes
    packet.AddInt64(1);
    EXPECT_EQ(packet.Size(), 3 + 8) << "grown to the cursor + 8";
    packet.AddDouble(2.0);
    EXPECT_EQ(packet.Size(), 11 + 8);
    packet.AddString("four");
    EXPECT_EQ(packet.Size(), 19 + 6 + 8) << "grown to the cursor + the field + 8";
    EXPECT_EQ(packet.Length(), 25);
}

TEST(TypedFieldLimit, AStringThatWouldPassTheLimitIsRefusedWhole) {
    const std::string longest(65535 - 3 - 2, 's'); // fills the largest message exactly
    ZovNetPacket packet(5, 0);
    packet.AddString(longest.c_str());
    ASSERT_EQ(packet.Length(), 65535);
    packet.GoToStart();
    std::string back(longest.size() + 1, '\0');
    EXPECT_EQ(packet.ReadString(&back[0], static_cast<unsigned int>(back.size())), longest.size());
    EXPECT_EQ(back.c_str(), longest);

    const std::string one_more(longest.size() + 1, 't');
    const std::string at_65535(65535, 'u');
    for (const std::string* text : {&one_more, &at_65535}) {
        SCOPED_TRACE(text->size());
        ZovNetPacket refused(5, 0);
        refused.AddInt8(9);
        const zovtest::PacketState before = StateOf(refused);
        refused.AddString(text->c_str());
        EXPECT_EQ(StateOf(refused), before) << "nothing of the field is written";
    }

    // A 64-bit field that would end past the limit is refused too.
    ZovNetPacket full(5, 0);
    full.AddBin(longest.data(), 65535 - 3 - 4);
    const zovtest::PacketState before = StateOf(full);
    full.AddInt64(1);
    full.AddDouble(1.0);
    EXPECT_EQ(StateOf(full), before);
}

// ---------------------------------------------------------------------------------------------
// Reads: strings cut to the buffer, counts that run past the end, Remaining() and Valid()

TEST(TypedFieldRead, AStringIsCutToTheBufferAndTheRestSkipped) {
    ZovNetPacket packet;
    packet.AddString("abcdef");
    packet.AddInt8(0x5A);
    const struct {
        unsigned int size;
        const char* text;
    } cases[] = {{7, "abcdef"}, {4, "abc"}, {1, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        packet.GoToStart();
        char text[8] = "xxxxxxx";
        EXPECT_EQ(packet.ReadString(text, c.size), 6u);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(packet.ReadInt8(), 0x5A) << "the cursor is behind the whole field";
    }
    packet.GoToStart();
    EXPECT_EQ(packet.ReadString(nullptr, 0), 6u) << "a size of 0 skips the field";
    EXPECT_EQ(packet.Remaining(), 1u);
}

// What a reader of a message from the network sees: Remaining() tells beforehand whether the
// fields are there.
TEST(TypedFieldRead, RemainingCountsTheContentLeft) {
    ZovNetPacket packet;
    EXPECT_EQ(packet.Remaining(), 0u);
    WriteBytes(packet, {0x00, 0x07, 0x02, 0x00, 0x00, 0x00, 0x2A});
    EXPECT_EQ(packet.Remaining(), 4u);
    EXPECT_EQ(packet.ReadInt16(), 0u);
    EXPECT_EQ(packet.Remaining(), 2u);
    packet.GoToEnd();
    EXPECT_EQ(packet.Remaining(), 0u);
    packet.GoToStart();
    EXPECT_EQ(packet.ReadInt32(), 42u);
    EXPECT_TRUE(packet.Valid());
}

// Messages cut short: each read finds its field missing.
struct ShortCase {
    const char* name;
    Bytes message;
    std::function<void(ZovNetPacket&)> read;
    const char* check; // the debug library's failed check, as a regular expression
};

std::vector<ShortCase> ShortCases() {
    return {
        {"ReadInt64 with seven bytes",
         {0x00, 0x0A, 0x01, 1, 2, 3, 4, 5, 6, 7},
         [](ZovNetPacket& p) { EXPECT_EQ(p.ReadInt64(), 0u); },
         "m_cursor\\+7 < m_usize"},
        {"ReadDouble with four bytes",
         {0x00, 0x07, 0x01, 0x3F, 0xF0, 0, 0},
         [](ZovNetPacket& p) { EXPECT_EQ(BitsOf(p.ReadDouble()), 0u); },
         "m_cursor\\+7 < m_usize"},
        {"ReadFloat with three bytes",
         {0x00, 0x06, 0x01, 0x3F, 0x80, 0},
         [](ZovNetPacket& p) { EXPECT_EQ(BitsOf(p.ReadFloat()), 0u); },
         "m_cursor\\+3 < m_usize"},
        {"ReadInt32 of a shorter message",
         {0x00, 0x05, 0x02, 0x00, 0x2A},
         [](ZovNetPacket& p) { EXPECT_EQ(p.ReadInt32(), 0u); },
         "m_cursor\\+3 < m_usize"},
        {"ReadString without its count",
         {0x00, 0x04, 0x01, 0x00},
         [](ZovNetPacket& p) {
             char text[8] = "xxxxxxx";
             EXPECT_EQ(p.ReadString(text, sizeof text), 0u);
             EXPECT_STREQ(text, "");
         },
         "m_cursor\\+1 < m_usize"},
        {"ReadString whose count runs past the end",
         {0x00, 0x08, 0x01, 0x00, 0x05, 'a', 'b', 'c'},
         [](ZovNetPacket& p) {
             char text[8] = "xxxxxxx";
             EXPECT_EQ(p.ReadString(text, sizeof text), 0u);
             EXPECT_STREQ(text, "");
         },
         "m_cursor\\+2\\+count <= m_usize"},
        {"ReadString of count 65535 in a small message",
         {0x00, 0x06, 0x01, 0xFF, 0xFF, 'a'},
         [](ZovNetPacket& p) {
             char text[4] = "xxx";
             EXPECT_EQ(p.ReadString(text, sizeof text), 0u);
         },
         "m_cursor\\+2\\+count <= m_usize"},
    };
}

TEST(TypedFieldRead, ReleaseLibraryReadsNothingOfAMissingFieldAndSaysSo) {
    if (zovtest::kDebugLibrary)
        GTEST_SKIP() << "the debug library stops here";
    for (const ShortCase& c : ShortCases()) {
        SCOPED_TRACE(c.name);
        ZovNetPacket packet;
        WriteBytes(packet, c.message);
        ASSERT_TRUE(packet.Valid());
        c.read(packet);
        EXPECT_EQ(packet.Cursor(), PACKET_HEADER_SIZE) << "the cursor stays";
        EXPECT_FALSE(packet.Valid());
        packet.GoToStart();
        EXPECT_FALSE(packet.Valid()) << "only a new message clears it";
        WriteBytes(packet, c.message);
        EXPECT_TRUE(packet.Valid()) << "WritePacket clears it";
        c.read(packet);
        packet.Reset();
        EXPECT_TRUE(packet.Valid()) << "Reset clears it";
    }
    // A copy keeps what the original knew.
    ZovNetPacket packet;
    packet.ReadInt8();
    EXPECT_FALSE(ZovNetPacket(packet).Valid());
}

TEST(TypedFieldRead, DebugLibraryStopsOnAMissingField) {
    if (!zovtest::kDebugLibrary)
        GTEST_SKIP() << "the release library does not check";
    for (const ShortCase& c : ShortCases()) {
        SCOPED_TRACE(c.name);
        const std::string pattern = std::string("Fatal error: ") + c.check +
                                    "\n\nFile: src/ZovNetPacket\\.cpp\nLine: [0-9]+\n";
        EXPECT_EXIT(
            {
                ZovNetPacket packet;
                WriteBytes(packet, c.message);
                c.read(packet);
            },
            ::testing::ExitedWithCode(1), zovtest::Ere(pattern));
    }
    EXPECT_EXIT(ZovNetPacket().AddString(nullptr), ::testing::ExitedWithCode(1),
                zovtest::Ere("Fatal error: text != NULL\n"));
    EXPECT_EXIT(
        {
            ZovNetPacket packet;
            packet.AddString("a");
            packet.GoToStart();
            packet.ReadString(nullptr, 4);
        },
        ::testing::ExitedWithCode(1), zovtest::Ere("Fatal error: dest != NULL \\|\\| size == 0\n"));
}

TEST(TypedFieldRead, ReleaseLibraryIgnoresNullArguments) {
    if (zovtest::kDebugLibrary)
        GTEST_SKIP() << "the debug library stops here";
    ZovNetPacket packet;
    packet.AddString(nullptr);
    EXPECT_EQ(packet.Length(), PACKET_HEADER_SIZE);
    packet.AddString("a");
    packet.GoToStart();
    EXPECT_EQ(packet.ReadString(nullptr, 4), 0u);
    EXPECT_EQ(packet.Cursor(), PACKET_HEADER_SIZE);
    EXPECT_TRUE(packet.Valid()) << "a null argument is not a missing field";
}

} // namespace
