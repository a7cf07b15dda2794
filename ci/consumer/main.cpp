// A user's program built against the installed library, once through its CMake package and once
// through pkg-config: a packet is written, framed, taken back apart and read, and the network
// layer is started, used and stopped. Prints "consumer (<library>): ok" and exits 0 on success.
#include <ZovNet.h>

#include <cstdio>
#include <cstring>

#if defined(ZOVNET_CONSUMER_DEBUG)
// The debug library's target and pkg-config file send every packet call into the library, where
// its checks are.
#if !defined(ZOVNET_CHECKED)
#error "the debug library's package does not define ZOVNET_CHECKED"
#endif
static const char* const kLibrary = "ZovNetd";
#else
static const char* const kLibrary = "ZovNet";
#endif

static int Fail(const char* what) {
    std::fprintf(stderr, "consumer (%s): FAILED: %s\n", kLibrary, what);
    return 1;
}

int main() {
    ZovNetPacket out(7, 16);
    out.AddInt8(0xAB);
    out.AddInt16(513);
    out.AddInt32(65536);
    out.AddBin("zov", 3);
    const unsigned char expected[] = {0x00, 0x0D, 0x07, 0xAB, 0x02, 0x01, 0x00,
                                      0x01, 0x00, 0x00, 'z',  'o',  'v'};
    if (out.Length() != sizeof expected)
        return Fail("packet length");
    const unsigned char* wire = out.Data();
    if (std::memcmp(wire, expected, sizeof expected) != 0)
        return Fail("wire bytes");

    ZovNetPacket in;
    in.WritePacket(wire, out.Length());
    if (in.Type() != 7 || in.Length() != sizeof expected)
        return Fail("received header");
    char text[3] = {0, 0, 0};
    if (in.ReadInt8() != 0xAB || in.ReadInt16() != 513 || in.ReadInt32() != 65536 ||
        in.ReadBin(text, sizeof text) != 3 || std::memcmp(text, "zov", 3) != 0)
        return Fail("received fields");

    ZovNet* net = ZovNet::GetInstance();
    if (net == nullptr || !net->Init())
        return Fail("network layer start");
    unsigned int loopback = 0;
    char dotted[16] = {0};
    if (!net->StringToAddr("127.0.0.1", loopback) ||
        !net->AddrToString(loopback, dotted, sizeof dotted) ||
        std::strcmp(dotted, "127.0.0.1") != 0)
        return Fail("address conversion");
    delete net;

    std::printf("consumer (%s): ok\n", kLibrary);
    return 0;
}
