// Feeds arbitrary text to ZovNet::StringToAddress. Whatever it accepts must write itself with
// AddressToString, read back as the same address, and write the same text again (the written
// form is a fixed point); a refused text must leave the address alone. Without a scope the
// verdict and the bytes must agree with the system's own strict parser, which knows every
// standard form. AddressToString must refuse every buffer one byte short and write nothing past
// the size it was given. Any violation aborts; memory errors are left to the sanitizers.
//
// Input layout: the text (up to the first zero byte, at most 127 characters).
#include <ZovNet.h>

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "address_fuzzer: %s for \"%s\"\n", what, text.c_str());
    std::abort();
}

void Check(bool holds, const char* what, const std::string& text) {
    if (!holds)
        Fail(what, text);
}

// The system's verdict on a text without scope: the address it gives, or false.
bool SystemParse(const std::string& text, ZovAddress* out) {
    if (text.find(':') == std::string::npos) {
        unsigned int addr;
        if (::inet_pton(AF_INET, text.c_str(), &addr) != 1)
            return false;
        *out = ZovAddress(addr);
        return true;
    }
    unsigned char bytes[16];
    if (::inet_pton(AF_INET6, text.c_str(), bytes) != 1)
        return false;
    *out = ZovAddress::FromBytes(bytes);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ZovNet* net = [] {
        ZovNet* n = ZovNet::GetInstance();
        if (n == nullptr || !n->Init())
            std::abort();
        return n;
    }();
    std::string text(reinterpret_cast<const char*>(data), size < 127 ? size : 127);
    text = text.c_str(); // up to the first zero byte

    const unsigned char sentinel[16] = {0x20, 0x01, 0x0d, 0xb8, 1, 2,  3,  4,
                                        5,    6,    7,    8,    9, 10, 11, 12};
    const ZovAddress untouched = ZovAddress::FromBytes(sentinel, 77);
    ZovAddress a = untouched;
    const bool parsed = net->StringToAddress(text.c_str(), a);
    if (text.find('%') == std::string::npos) {
        ZovAddress expected;
        const bool system = SystemParse(text, &expected);
        Check(parsed == system,
              parsed ? "accepted what the system refuses" : "refused what the system accepts",
              text);
        if (parsed)
            Check(a == expected, "another address than the system's", text);
    }
    if (!parsed) {
        Check(a == untouched, "a refused text changed the address", text);
        Check(ZovNet::LastError() == ZOVNET::ERRCODE_INVALID_ARGUMENT, "refused with another code",
              text);
        return 0;
    }

    char written[ZOVNET::ADDRESS_STRING_SIZE];
    Check(net->AddressToString(a, written, sizeof written), "accepted address does not write",
          text);
    ZovAddress again;
    Check(net->StringToAddress(written, again), "written form does not read back", text);
    Check(again == a, "written form reads back as another address", text);
    char rewritten[ZOVNET::ADDRESS_STRING_SIZE];
    Check(net->AddressToString(again, rewritten, sizeof rewritten) &&
              std::strcmp(written, rewritten) == 0,
          "written form is not a fixed point", text);

    // One byte short is refused, leaving an empty string and nothing past the size.
    const unsigned int exact = static_cast<unsigned int>(std::strlen(written)) + 1;
    char shortBuffer[ZOVNET::ADDRESS_STRING_SIZE + 1];
    std::memset(shortBuffer, '#', sizeof shortBuffer);
    Check(!net->AddressToString(a, shortBuffer, exact - 1), "a short buffer was taken", text);
    Check(shortBuffer[0] == (exact - 1 > 0 ? '\0' : '#'), "a refusal left text behind", text);
    for (size_t i = 1; i < sizeof shortBuffer; ++i)
        Check(shortBuffer[i] == '#', "a refusal wrote into the buffer", text);
    return 0;
}
