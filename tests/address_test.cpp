// The address of either family: its value, its text forms both ways, and name lookups.
//
// Lookups stay on this machine: "localhost" is resolved only when the hosts file answers it,
// numeric texts never leave the resolver, and the failing lookup uses a name that cannot be put
// into a query at all.
#include "TestSupport.h"

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes16 = std::array<unsigned char, 16>;

unsigned int V4Of(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    const unsigned char bytes[4] = {a, b, c, d};
    unsigned int addr;
    std::memcpy(&addr, bytes, sizeof addr);
    return addr;
}

Bytes16 BytesOf(const ZovAddress& a) {
    Bytes16 out;
    a.Bytes(out.data());
    return out;
}

const Bytes16 kMapped1234 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 1, 2, 3, 4};
const Bytes16 kDocumentation1 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

// A label of 64 characters is one too long for a query, so the resolver gives up before it
// sends anything; .invalid never resolves in any case.
const std::string kUnresolvable = std::string(64, 'z') + ".invalid";

// Whether the hosts file names `name` on some line (of either family).
bool HostsFileNames(const std::string& name) {
    std::ifstream file(zovtest::HostsFilePath());
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string word;
        words >> word; // the address
        while (words >> word)
            if (zovtest::CaseInsensitiveCompare(word.c_str(), name.c_str()) == 0)
                return true;
    }
    return false;
}

class AddressTest : public ::testing::Test {
protected:
    void SetUp() override {
        net = ZovNet::GetInstance();
        ASSERT_NE(net, nullptr);
        ASSERT_TRUE(net->Init());
    }

    std::string Text(const ZovAddress& a) {
        char text[ZOVNET::ADDRESS_STRING_SIZE];
        EXPECT_TRUE(net->AddressToString(a, text, sizeof text));
        return text;
    }

    ZovNet* net = nullptr;
};

// --------------------------------------------------------------------------------------------
// The value
// --------------------------------------------------------------------------------------------

TEST(AddressValue, NamedAddressesAndTheirBytes) {
    const Bytes16 any6 = {};
    Bytes16 loopback6 = {};
    loopback6[15] = 1;
    const Bytes16 any4 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};
    const Bytes16 loopback4 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
    struct Case {
        const char* name;
        ZovAddress address;
        bool v4;
        unsigned int ipv4;
        Bytes16 bytes;
    };
    const Case cases[] = {
        {"default", ZovAddress(), true, 0, any4},
        {"Loopback4", ZovAddress::Loopback4(), true, V4Of(127, 0, 0, 1), loopback4},
        {"ipv4", ZovAddress(V4Of(1, 2, 3, 4)), true, V4Of(1, 2, 3, 4), kMapped1234},
        {"Any6", ZovAddress::Any6(), false, 0, any6},
        {"Loopback6", ZovAddress::Loopback6(), false, 0, loopback6},
        {"FromBytes", ZovAddress::FromBytes(kDocumentation1.data()), false, 0, kDocumentation1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.address.IsV4(), c.v4);
        EXPECT_EQ(c.address.IsV6(), !c.v4);
        EXPECT_EQ(c.address.V4(), c.ipv4);
        EXPECT_EQ(BytesOf(c.address), c.bytes);
        EXPECT_EQ(c.address.ScopeId(), 0u);
    }
}

TEST(AddressValue, MappedBytesAreTheIpv4Address) {
    const ZovAddress mapped = ZovAddress::FromBytes(kMapped1234.data());
    EXPECT_TRUE(mapped.IsV4());
    EXPECT_EQ(mapped.V4(), V4Of(1, 2, 3, 4));
    EXPECT_EQ(mapped, ZovAddress(V4Of(1, 2, 3, 4)));
    // An IPv4 address has no scope: the mapped bytes with one are still the same host.
    const ZovAddress scoped = ZovAddress::FromBytes(kMapped1234.data(), 7);
    EXPECT_EQ(scoped.ScopeId(), 0u);
    EXPECT_EQ(scoped, ZovAddress(V4Of(1, 2, 3, 4)));
    // Round trip through the bytes.
    EXPECT_EQ(ZovAddress::FromBytes(BytesOf(ZovAddress::Loopback4()).data()),
              ZovAddress::Loopback4());
}

TEST(AddressValue, EqualityTakesFamilyBytesAndScope) {
    const ZovAddress link = ZovAddress::FromBytes(kDocumentation1.data(), 3);
    struct Case {
        const char* name;
        ZovAddress a;
        ZovAddress b;
        bool equal;
    };
    const Case cases[] = {
        {"same IPv4", ZovAddress(V4Of(10, 0, 0, 1)), ZovAddress(V4Of(10, 0, 0, 1)), true},
        {"other IPv4", ZovAddress(V4Of(10, 0, 0, 1)), ZovAddress(V4Of(10, 0, 0, 2)), false},
        {"the two any addresses", ZovAddress(), ZovAddress::Any6(), false},
        {"the two loopbacks", ZovAddress::Loopback4(), ZovAddress::Loopback6(), false},
        {"same scope", link, ZovAddress::FromBytes(kDocumentation1.data(), 3), true},
        {"other scope", link, ZovAddress::FromBytes(kDocumentation1.data(), 4), false},
        {"scope and none", link, ZovAddress::FromBytes(kDocumentation1.data()), false},
        {"copy", link, ZovAddress(link), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.a == c.b, c.equal);
        EXPECT_EQ(c.a != c.b, !c.equal);
        EXPECT_EQ(c.b == c.a, c.equal);
    }
}

// --------------------------------------------------------------------------------------------
// Text
// --------------------------------------------------------------------------------------------

struct RoundTrip {
    const char* text;
    const char* written; // the recommended form that AddressToString gives back
};

const RoundTrip kRoundTrips[] = {
    // IPv4
    {"0.0.0.0", "0.0.0.0"},
    {"127.0.0.1", "127.0.0.1"},
    {"255.255.255.255", "255.255.255.255"},
    {"192.168.100.200", "192.168.100.200"},
    // compressed forms
    {"::", "::"},
    {"::1", "::1"},
    {"1::", "1::"},
    {"2001:db8::1", "2001:db8::1"},
    {"2001:0db8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
    {"0:0:0:0:0:0:0:0", "::"},
    {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
    // one zero group is never compressed, though a text may say "::" for it
    {"1:0:2:3:4:5:6:7", "1:0:2:3:4:5:6:7"},
    {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
    {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
    // the longest run of zeros, the first of equal ones
    {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
    {"1:0:0:0:2:0:0:3", "1::2:0:0:3"},
    {"1:0:0:2:0:0:3:4", "1::2:0:0:3:4"},
    {"0:0:1:0:0:0:0:0", "0:0:1::"},
    {"0:0:1:0:0:2:0:0", "::1:0:0:2:0:0"},
    // upper case in, lower case out; no leading zeros
    {"2001:DB8::ABCD:00ef", "2001:db8::abcd:ef"},
    {"FE80::0001", "fe80::1"},
    // mapped: the IPv4 address
    {"::ffff:1.2.3.4", "1.2.3.4"},
    {"::FFFF:102:304", "1.2.3.4"},
    {"0:0:0:0:0:ffff:127.0.0.1", "127.0.0.1"},
    // other IPv4 tails are IPv6 addresses
    {"::1.2.3.4", "::102:304"},
    {"64:ff9b::192.0.2.33", "64:ff9b::c000:221"},
    {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"},
    // scope as a number
    {"fe80::1%5", "fe80::1%5"},
    {"fe80::1%0", "fe80::1"},
    {"FE80::ABC%4294967295", "fe80::abc%4294967295"},
    {"::%1", "::%1"},
};

TEST_F(AddressTest, TextRoundTrips) {
    for (const RoundTrip& c : kRoundTrips) {
        SCOPED_TRACE(c.text);
        ZovAddress a = ZovAddress::Loopback6();
        ASSERT_TRUE(net->StringToAddress(c.text, a));
        EXPECT_EQ(Text(a), c.written);
        // The written form reads back as the same address, and writes itself.
        ZovAddress again;
        ASSERT_TRUE(net->StringToAddress(c.written, again));
        EXPECT_EQ(again, a);
        EXPECT_EQ(Text(again), c.written);
    }
}

TEST_F(AddressTest, TextGivesTheBytesAndScope) {
    struct Case {
        const char* text;
        Bytes16 bytes;
        unsigned int scope;
        bool v4;
    };
    const Case cases[] = {
        {"2001:db8::1", kDocumentation1, 0, false},
        {"2001:db8:0:0::1%42", kDocumentation1, 42, false},
        {"::ffff:1.2.3.4", kMapped1234, 0, true},
        {"1.2.3.4", kMapped1234, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ZovAddress a;
        ASSERT_TRUE(net->StringToAddress(c.text, a));
        EXPECT_EQ(BytesOf(a), c.bytes);
        EXPECT_EQ(a.ScopeId(), c.scope);
        EXPECT_EQ(a.IsV4(), c.v4);
    }
    ZovAddress a;
    ASSERT_TRUE(net->StringToAddress("1.2.3.4", a));
    EXPECT_EQ(a, ZovAddress(V4Of(1, 2, 3, 4)));
    ASSERT_TRUE(net->StringToAddress("::ffff:1.2.3.4", a));
    EXPECT_EQ(a, ZovAddress(V4Of(1, 2, 3, 4)));
}

TEST_F(AddressTest, ScopeByInterfaceName) {
    std::string name;
    unsigned int index = 0;
    if (!zovtest::SomeInterface(&name, &index))
        GTEST_SKIP() << "the tests cannot list this system's interfaces";
    ZovAddress a;
    ASSERT_TRUE(net->StringToAddress(("fe80::1%" + name).c_str(), a));
    EXPECT_EQ(a.ScopeId(), index);
    EXPECT_EQ(Text(a), "fe80::1%" + std::to_string(index));
}

const char* const kRefused[] = {
    "",
    " 1.2.3.4",
    "1.2.3.4 ",
    "10.0.0.1 junk",
    "1.2.3",
    "1.2.3.4.5",
    "1.2.3.4.",
    ".1.2.3.4",
    "1..2.3",
    "01.2.3.4", // a leading zero: octal to other parsers
    "1.2.3.004",
    "256.1.1.1",
    "1.2.3.1000",
    "0x1.2.3.4",
    "-1.2.3.4",
    "1.2.3.4%1", // scope on IPv4
    ":",
    ":::",
    "1::2::3",
    "1:::2",
    ":1::2",
    "1::2:",
    ":1:2:3:4:5:6:7:8",
    "1:2:3:4:5:6:7:8:",
    "1:2:3:4:5:6:7",
    "1:2:3:4:5:6:7:8:9",
    "1:2:3:4:5:6:7:8::",
    "::1:2:3:4:5:6:7:8",
    "1:2:3:4::5:6:7:8",
    "12345::",
    "g::",
    "1:2:3:4:5:6:7:1.2.3.4",
    "1.2.3.4::",
    "::1.2.3.4:5",
    "::1.2.3",
    "::ffff:1.2.3.256",
    "::ffff:01.2.3.4",
    "::ffff:1.2.3.4%1", // scope on what is IPv4
    "fe80::1%",
    "fe80::1%4294967296",
    "fe80::1%1%2",
    "fe80%1::1",
    "[::1]",
    "::1 ",
};

TEST_F(AddressTest, BadTextIsRefusedAndLeavesTheAddress) {
    // A name no system gives an interface, for the scope.
    const std::string noInterface = "fe80::1%" + std::string(40, 'q');
    std::vector<std::string> texts(std::begin(kRefused), std::end(kRefused));
    texts.push_back(noInterface);
    for (const std::string& text : texts) {
        SCOPED_TRACE("\"" + text + "\"");
        ZovAddress a = ZovAddress::FromBytes(kDocumentation1.data(), 9);
        EXPECT_FALSE(net->StringToAddress(text.c_str(), a));
        EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_INVALID_ARGUMENT);
        EXPECT_EQ(a, ZovAddress::FromBytes(kDocumentation1.data(), 9));
    }
}

TEST_F(AddressTest, AddressToStringSizeBoundaries) {
    ZovAddress longest;
    ASSERT_TRUE(
        net->StringToAddress("ffff:eeee:dddd:cccc:bbbb:aaaa:9999:8888%4294967295", longest));
    const ZovAddress cases[] = {ZovAddress::Loopback4(), ZovAddress(V4Of(255, 255, 255, 255)),
                                ZovAddress::Any6(), ZovAddress::FromBytes(kDocumentation1.data()),
                                longest};
    for (const ZovAddress& a : cases) {
        const std::string whole = Text(a);
        SCOPED_TRACE(whole);
        ASSERT_LT(whole.size(), ZOVNET::ADDRESS_STRING_SIZE);
        const unsigned int exact = static_cast<unsigned int>(whole.size()) + 1;
        for (unsigned int size : {exact + 1, exact, exact - 1, 1u, 0u}) {
            SCOPED_TRACE(size);
            std::vector<char> buffer(exact + 8, '#');
            const bool fits = size >= exact;
            EXPECT_EQ(net->AddressToString(a, buffer.data(), size), fits);
            if (fits) {
                EXPECT_EQ(std::string(buffer.data()), whole);
            } else {
                EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_INVALID_ARGUMENT);
                EXPECT_EQ(buffer[0], size > 0 ? '\0' : '#') << "a refusal leaves an empty string";
                for (size_t i = 1; i < buffer.size(); ++i)
                    EXPECT_EQ(buffer[i], '#') << "index " << i;
            }
            for (size_t i = size; i < buffer.size(); ++i)
                ASSERT_EQ(buffer[i], '#') << "index " << i << " lies outside the given size";
        }
    }
    EXPECT_EQ(Text(longest).size() + 1, ZOVNET::ADDRESS_STRING_SIZE) << "the longest text fits";
}

// --------------------------------------------------------------------------------------------
// Lookups
// --------------------------------------------------------------------------------------------

TEST_F(AddressTest, ResolveLocalhost) {
    if (!HostsFileNames("localhost"))
        GTEST_SKIP() << "the hosts file does not answer localhost";
    ZovAddress found[16];
    const int n = net->ResolveName("localhost", found, 16);
    ASSERT_GT(n, 0) << ZovNet::ErrorText(ZovNet::LastError());
    ASSERT_LE(n, 16);
    bool loopback = false;
    for (int i = 0; i < n; ++i) {
        SCOPED_TRACE(Text(found[i]));
        loopback =
            loopback || found[i] == ZovAddress::Loopback4() || found[i] == ZovAddress::Loopback6();
        for (int j = 0; j < i; ++j)
            EXPECT_NE(found[i], found[j]) << "a duplicate";
        unsigned char bytes[16];
        found[i].Bytes(bytes);
        EXPECT_EQ(ZovAddress::FromBytes(bytes, found[i].ScopeId()), found[i]) << "not canonical";
    }
    EXPECT_TRUE(loopback) << "neither 127.0.0.1 nor ::1";

    // The first of them alone, when there is room for one.
    ZovAddress first;
    ASSERT_EQ(net->ResolveName("localhost", &first, 1), 1);
    EXPECT_EQ(first, found[0]);
}

TEST_F(AddressTest, ResolveNumericTextsGivesTheCanonicalForm) {
    struct Case {
        const char* text;
        ZovAddress expected;
    };
    const Case cases[] = {
        {"127.0.0.1", ZovAddress::Loopback4()},
        {"::1", ZovAddress::Loopback6()},
        {"::ffff:127.0.0.1", ZovAddress::Loopback4()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ZovAddress found[4];
        ASSERT_EQ(net->ResolveName(c.text, found, 4), 1);
        EXPECT_EQ(found[0], c.expected);
        EXPECT_TRUE(found[0].IsV4() == c.expected.IsV4());
    }
}

TEST_F(AddressTest, ResolveFailuresAndRefusals) {
    ZovAddress found[2] = {ZovAddress::Loopback6(), ZovAddress::Loopback6()};
    std::string err = zovtest::StderrOf(
        [&] { EXPECT_EQ(net->ResolveName(kUnresolvable.c_str(), found, 2), -1); });
    const int lookup = ZovNet::LastError();
    EXPECT_GE(lookup, ZOVNET::ERRCODE_HOST_NOT_FOUND);
    EXPECT_LE(lookup, ZOVNET::ERRCODE_HOST_NOT_FOUND + 3);
    EXPECT_EQ(err, "") << "services show no box";
    EXPECT_EQ(found[0], ZovAddress::Loopback6());

    for (int max : {0, -1}) {
        SCOPED_TRACE(max);
        EXPECT_EQ(net->ResolveName("localhost", found, max), -1);
        EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_INVALID_ARGUMENT);
    }
    EXPECT_EQ(found[0], ZovAddress::Loopback6());
}

// The release library refuses null arguments; the debug library stops on them (its checks).
TEST_F(AddressTest, NullArgumentsAreRefused) {
    if (ZOVNET_TEST_DEBUG)
        GTEST_SKIP() << "the debug library stops the process on a null argument";
    ZovAddress a;
    ZovAddress found[1];
    EXPECT_FALSE(net->StringToAddress(nullptr, a));
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_NULL_ARGUMENT);
    EXPECT_FALSE(net->AddressToString(a, nullptr, 16));
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_NULL_ARGUMENT);
    EXPECT_EQ(net->ResolveName(nullptr, found, 1), -1);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_NULL_ARGUMENT);
    EXPECT_EQ(net->ResolveName("localhost", nullptr, 1), -1);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_NULL_ARGUMENT);
}

TEST(AddressNotStarted, EveryServiceRefusesBeforeInit) {
    delete ZovNet::GetInstance();
    ZovNet* net = ZovNet::GetInstance();
    ZovAddress a = ZovAddress::Loopback6();
    EXPECT_FALSE(net->StringToAddress("127.0.0.1", a));
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_NOT_STARTED);
    EXPECT_EQ(a, ZovAddress::Loopback6());
    char text[ZOVNET::ADDRESS_STRING_SIZE];
    std::memset(text, '#', sizeof text);
    EXPECT_FALSE(net->AddressToString(a, text, sizeof text));
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_NOT_STARTED);
    EXPECT_EQ(text[0], '#');
    EXPECT_EQ(net->ResolveName("localhost", &a, 1), -1);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_NOT_STARTED);
    EXPECT_EQ(a, ZovAddress::Loopback6());
    ASSERT_TRUE(net->Init());
}

} // namespace
