// The wire format against a peer that shares no code with the library: raw sockets on the other
// end, frames assembled and taken apart by hand, byte by byte.
//
//   length: 2 bytes, big-endian, the whole frame with its header   type: 1 byte
//   content: big-endian integers and raw byte runs, back to back, no tags
#include "RawSocket.h"
#include "TestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>


namespace {

using zovtest::Bytes;
using zovtest::Hex;
using zovtest::RawFd;

// A frame built without the library: header, then the content as given.
Bytes Frame(unsigned char type, const Bytes& content) {
    Bytes frame(3 + content.size());
    frame[0] = static_cast<unsigned char>(frame.size() >> 8);
    frame[1] = static_cast<unsigned char>(frame.size() & 0xFF);
    frame[2] = type;
    std::copy(content.begin(), content.end(), frame.begin() + 3);
    return frame;
}

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes both(a.size() + b.size());
    std::copy(b.begin(), b.end(), std::copy(a.begin(), a.end(), both.begin()));
    return both;
}

// One frame taken off a raw stream by its length field.
struct RawMessage {
    unsigned int length = 0;
    unsigned char type = 0;
    Bytes content;
};

RawMessage ReadFrame(int fd) {
    RawMessage message;
    const Bytes head = zovtest::ReceiveBytes(fd, 2);
    if (head.size() != 2)
        return message;
    message.length = head[0] * 256u + head[1];
    const Bytes rest = zovtest::ReceiveBytes(fd, message.length - 2);
    if (message.length < 3 || rest.size() != message.length - 2)
        return message;
    message.type = rest[0];
    message.content.assign(rest.begin() + 1, rest.end());
    return message;
}

std::uint32_t BigEndian(const Bytes& bytes, std::size_t at, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value = value << 8 | bytes.at(at + i);
    return value;
}

class InteropTest : public zovtest::NetTest {
protected:
    void SetUp() override {
        zovtest::NetTest::SetUp();
        m_link = zovtest::AcceptedFromRaw();
        ASSERT_TRUE(m_link.raw.Valid());
        ASSERT_NE(m_link.accepted, nullptr);
    }

    // The raw client's end and the library server's accepted end of one connection.
    int Raw() const { return m_link.raw.Get(); }
    ZovTCPSocketClient& Library() { return *m_link.accepted; }

    zovtest::ServerAndRawClient m_link;
};

// --------------------------------------------------------------------------------------------
// Library client -> raw server
// --------------------------------------------------------------------------------------------

TEST_F(InteropTest, LibraryFramesParseByHand) {
    RawFd listener = zovtest::RawListen();
    ASSERT_TRUE(listener.Valid());
    const unsigned short anyPort = 0;
    ZovTCPSocketClient client(anyPort, zovtest::Loopback(), zovtest::LocalPort(listener.Get()));
    RawFd server = zovtest::RawAccept(listener.Get());
    ASSERT_TRUE(server.Valid());

    ZovNetPacket fields(0x21, 12);
    fields.AddInt8(0xAB);
    fields.AddInt16(0x1234);
    fields.AddInt32(0xDEADBEEF);
    fields.AddBin("hi", 2);
    ZovNetPacket ping(0x7F, 0);
    EXPECT_EQ(client.Send(&fields), 12);
    EXPECT_EQ(client.Send(&ping), 3);

    // Two frames back to back in the stream, each found by its own length field.
    const RawMessage first = ReadFrame(server.Get());
    EXPECT_EQ(first.length, 12u);
    EXPECT_EQ(first.type, 0x21);
    ASSERT_EQ(first.content.size(), 9u);
    EXPECT_EQ(BigEndian(first.content, 0, 1), 0xABu);
    EXPECT_EQ(BigEndian(first.content, 1, 2), 0x1234u);
    EXPECT_EQ(BigEndian(first.content, 3, 4), 0xDEADBEEFu);
    EXPECT_EQ(std::string(first.content.begin() + 7, first.content.end()), "hi");

    const RawMessage second = ReadFrame(server.Get());
    EXPECT_EQ(second.length, 3u);
    EXPECT_EQ(second.type, 0x7F);
    EXPECT_TRUE(second.content.empty());

    // And the answer, assembled by hand, comes back out of the library as a packet.
    ASSERT_TRUE(zovtest::SendAll(server.Get(), Frame(0x22, {0x00, 0x2A})));
    zovtest::SetReceiveTimeout(client.Descriptor(), 5000);
    ZovNetPacket answer;
    EXPECT_EQ(client.Receive(&answer), 5);
    EXPECT_EQ(answer.Type(), 0x22);
    EXPECT_EQ(answer.ReadInt16(), 42);
}

// --------------------------------------------------------------------------------------------
// Raw client -> library server
// --------------------------------------------------------------------------------------------

struct LengthFieldCase {
    const char* name;
    Bytes frame;
    int result;
};

class LengthFields : public InteropTest, public ::testing::WithParamInterface<LengthFieldCase> {};

TEST_P(LengthFields, ShortFieldsCostTwoBytesAndThreeIsAnEmptyMessage) {
    const LengthFieldCase& c = GetParam();
    const Bytes marker = Frame(0x33, {0x77});
    ASSERT_TRUE(zovtest::SendAll(Raw(), Concat(c.frame, marker)));

    ZovNetPacket packet(0x55, 1);
    packet.AddInt8(0x66);
    int result = 0;
    EXPECT_EQ(zovtest::StdoutOf([&] { result = Library().Receive(&packet); }), "");
    EXPECT_EQ(result, c.result);
    if (c.result == 0) { // the packet is not touched
        EXPECT_EQ(packet.Type(), 0x55);
        EXPECT_EQ(packet.Length(), 4);
        EXPECT_EQ(packet.Cursor(), 4);
    } else {
        EXPECT_EQ(packet.Type(), c.frame[2]);
        EXPECT_EQ(packet.Length(), 3);
        EXPECT_EQ(packet.Cursor(), 3);
    }

    // Exactly the frame was consumed: the next message is read from its first byte.
    ZovNetPacket next;
    EXPECT_EQ(Library().Receive(&next), 4);
    EXPECT_EQ(next.Type(), 0x33);
    EXPECT_EQ(next.ReadInt8(), 0x77);
}

INSTANTIATE_TEST_SUITE_P(Interop, LengthFields,
                         ::testing::Values(LengthFieldCase{"Zero", {0x00, 0x00}, 0},
                                           LengthFieldCase{"One", {0x00, 0x01}, 0},
                                           LengthFieldCase{"Two", {0x00, 0x02}, 0},
                                           LengthFieldCase{"Three", {0x00, 0x03, 0x5A}, 3}),
                         [](const ::testing::TestParamInfo<LengthFieldCase>& info) {
                             return info.param.name;
                         });

TEST_F(InteropTest, TwoMessagesBackToBackComeOutOneEach) {
    const Bytes first = Frame(0x01, {0x12, 0x34, 0x56, 0x78}); // one 32-bit field
    const Bytes second = Frame(0x02, {0xFF, 0xFE, 0x01});      // a 16-bit and an 8-bit field
    ASSERT_TRUE(zovtest::SendAll(Raw(), Concat(first, second)));
    ASSERT_TRUE(zovtest::WaitPending(static_cast<int>(Library().Descriptor()), 12));

    ZovNetPacket a;
    EXPECT_EQ(Library().Receive(&a), 7);
    EXPECT_EQ(a.Type(), 0x01);
    EXPECT_EQ(a.ReadInt32(), 0x12345678u);
    ZovNetPacket b;
    EXPECT_EQ(Library().Receive(&b), 6);
    EXPECT_EQ(b.Type(), 0x02);
    EXPECT_EQ(b.ReadInt16(), 0xFFFE);
    EXPECT_EQ(b.ReadInt8(), 0x01);
}

TEST_F(InteropTest, MessageInTwoPiecesWithAPauseComesOutWhole) {
    const Bytes frame = Frame(0x09, {0x00, 0x00, 0x01, 0x00, 'o', 'k'});
    bool sent = false;
    std::thread sender([&] {
        sent = zovtest::SendAll(Raw(), Bytes(frame.begin(), frame.begin() + 4));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        sent = sent && zovtest::SendAll(Raw(), Bytes(frame.begin() + 4, frame.end()));
    });
    ZovNetPacket packet;
    const int result = Library().Receive(&packet);
    sender.join();
    ASSERT_TRUE(sent);
    EXPECT_EQ(result, 9);
    EXPECT_EQ(packet.Type(), 0x09);
    EXPECT_EQ(packet.ReadInt32(), 256u);
    char text[2] = {};
    EXPECT_EQ(packet.ReadBin(text, 2), 2u);
    EXPECT_EQ(std::string(text, 2), "ok");
}

TEST_F(InteropTest, PeerClosingInTheMiddleOfAMessageLeavesThePacketAlone) {
    const Bytes frame = Frame(0x07, {0x02, 0x01, 0x00, 0x01, 0x00, 0x00});
    ASSERT_TRUE(zovtest::SendAll(Raw(), Bytes(frame.begin(), frame.begin() + 5)));
    ::shutdown(Raw(), SHUT_WR);

    ZovNetPacket packet(0x44, 2);
    packet.AddInt16(0xBEEF);
    EXPECT_EQ(Library().Receive(&packet), 0);
    EXPECT_EQ(packet.Type(), 0x44);
    EXPECT_EQ(packet.Length(), 5);
    packet.GoToStart();
    EXPECT_EQ(packet.ReadInt16(), 0xBEEF);

    // The stream is over: nothing begins any more.
    EXPECT_EQ(Library().Receive(&packet), -1);
}

TEST_F(InteropTest, PeerClosingInsideTheLengthFieldEndsTheMessage) {
    ASSERT_TRUE(zovtest::SendAll(Raw(), {0x00}));
    ::shutdown(Raw(), SHUT_WR);
    ZovNetPacket packet(0x44, 0);
    EXPECT_EQ(Library().Receive(&packet), 0);
    EXPECT_EQ(packet.Type(), 0x44);
    EXPECT_EQ(packet.Length(), 3);
    EXPECT_EQ(Library().Receive(&packet), -1);
}

} // namespace
