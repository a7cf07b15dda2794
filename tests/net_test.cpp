// The network layer: the singleton's life, and the name and address services.
//
// Lookups stay on this machine: every name resolved here is first looked up in the hosts file
// (a name the file does not answer would go to a name server, so such cases are skipped), the
// only reverse lookup is of 127.0.0.1, and the failing lookup uses a name that cannot be put
// into a query at all.
#include "TestSupport.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using Bytes = std::array<unsigned char, 4>;

unsigned int AddrOf(const Bytes& bytes) {
    unsigned int addr;
    std::memcpy(&addr, bytes.data(), sizeof addr);
    return addr;
}

Bytes BytesOf(unsigned int addr) {
    Bytes bytes;
    std::memcpy(bytes.data(), &addr, sizeof addr);
    return bytes;
}

// The system's own rendering, for readable failures.
std::string Dotted(unsigned int addr) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

// A label of 64 characters is one too long for a query, so the resolver gives up before it
// sends anything; .invalid never resolves in any case.
const std::string kUnresolvable = std::string(64, 'z') + ".invalid";

bool IsLocalhost(const std::string& name) {
    return name.compare(0, 9, "localhost") == 0;
}

// --------------------------------------------------------------------------------------------
// What this machine's hosts file says, read at run time: the expectations follow the machine.
// --------------------------------------------------------------------------------------------

struct HostsLine {
    unsigned int addr; // network byte order
    std::vector<std::string> names;
};

std::vector<HostsLine> ReadHostsFile() {
    std::vector<HostsLine> lines;
    std::ifstream file(zovtest::HostsFilePath());
    std::string text;
    while (std::getline(file, text)) {
        text = text.substr(0, text.find('#'));
        std::istringstream words(text);
        std::string address;
        HostsLine line{};
        if (!(words >> address) || ::inet_pton(AF_INET, address.c_str(), &line.addr) != 1)
            continue; // blank, comment or IPv6
        for (std::string name; words >> name;)
            line.names.push_back(name);
        if (!line.names.empty())
            lines.push_back(line);
    }
    return lines;
}

bool Names(const HostsLine& line, const std::string& name) {
    return std::any_of(line.names.begin(), line.names.end(), [&](const std::string& n) {
        return zovtest::CaseInsensitiveCompare(n.c_str(), name.c_str()) == 0;
    });
}

// Every IPv4 line of the hosts file that names `name`, in file order.
std::vector<HostsLine> LinesNaming(const std::string& name) {
    std::vector<HostsLine> found;
    for (const HostsLine& line : ReadHostsFile())
        if (Names(line, name))
            found.push_back(line);
    return found;
}

// The name the network layer resolves as this host's own.
std::string OwnName() {
    char name[128] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    return name;
}

// --------------------------------------------------------------------------------------------
// Fixtures
// --------------------------------------------------------------------------------------------

// Every test starts without an instance, whatever ran before it in this process.
class NetLayerTest : public ::testing::Test {
protected:
    void SetUp() override { delete ZovNet::GetInstance(); }
};

class NetServicesTest : public NetLayerTest {
protected:
    void SetUp() override {
        NetLayerTest::SetUp();
        net = ZovNet::GetInstance();
        ASSERT_NE(net, nullptr);
        ASSERT_TRUE(net->Init());
    }

    ZovNet* net = nullptr;
};

// Checks that `buffer` holds `expected`, zero bytes up to index `size` - 1, and that nothing at
// or behind index `size` was touched (the buffer was filled with '#' beforehand).
void ExpectBoundedCopy(const std::vector<char>& buffer, const std::string& expected,
                       unsigned int size) {
    ASSERT_LT(expected.size(), size);
    EXPECT_EQ(std::string(buffer.data()), expected);
    for (unsigned int i = static_cast<unsigned int>(expected.size()); i < size; ++i)
        EXPECT_EQ(buffer[i], '\0') << "index " << i;
    for (size_t i = size; i < buffer.size(); ++i)
        EXPECT_EQ(buffer[i], '#') << "index " << i << " lies outside the given size";
}

// --------------------------------------------------------------------------------------------
// Life of the singleton
// --------------------------------------------------------------------------------------------

TEST_F(NetLayerTest, GetInstanceReturnsTheOneInstance) {
    ZovNet* first = ZovNet::GetInstance();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ZovNet::GetInstance(), first);
    ASSERT_TRUE(first->Init());
    EXPECT_EQ(ZovNet::GetInstance(), first);
}

// A copy would be a second network layer whose destructor clears the singleton (and on Windows
// stops the socket system under the live one): it cannot be made. Assignment is the one the
// class always had; with one instance there is nothing to assign but itself, which changes
// nothing.
static_assert(!std::is_copy_constructible<ZovNet>::value, "a copy would orphan the singleton");
static_assert(!std::is_move_constructible<ZovNet>::value, "a move would orphan the singleton");
static_assert(std::is_copy_assignable<ZovNet>::value, "copy assignment is part of the interface");

TEST_F(NetLayerTest, AssigningTheInstanceToItselfChangesNothing) {
    for (const bool started : {false, true}) {
        SCOPED_TRACE(started ? "started" : "not started");
        delete ZovNet::GetInstance();
        ZovNet* net = ZovNet::GetInstance();
        if (started) {
            ASSERT_TRUE(net->Init());
        }
        ZovNet& alias = *ZovNet::GetInstance();
        alias = *net;
        EXPECT_EQ(ZovNet::GetInstance(), net);
        unsigned int addr = 0;
        EXPECT_EQ(net->StringToAddr("127.0.0.1", addr), started);
    }
}

TEST_F(NetLayerTest, InitIsIdempotent) {
    ZovNet* net = ZovNet::GetInstance();
    EXPECT_TRUE(net->Init());
    EXPECT_TRUE(net->Init());
    unsigned int addr = 0;
    EXPECT_TRUE(net->StringToAddr("127.0.0.1", addr));
    EXPECT_EQ(addr, zovtest::Loopback());
}

// Whether the deleted instance had been started or not, the next GetInstance() gives an
// unstarted one that can be started again. (A singleton pointer left dangling would still read
// as started here, or trip the address sanitizer.)
class DeleteInstanceTest : public NetLayerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DeleteInstanceTest, NextInstanceIsNewAndUnstarted) {
    ZovNet* old = ZovNet::GetInstance();
    if (GetParam()) {
        ASSERT_TRUE(old->Init());
    }
    delete old;

    ZovNet* fresh = ZovNet::GetInstance();
    ASSERT_NE(fresh, nullptr);
    unsigned int addr = 0x5A5A5A5Au;
    EXPECT_FALSE(fresh->StringToAddr("127.0.0.1", addr));
    EXPECT_EQ(addr, 0x5A5A5A5Au);
    EXPECT_EQ(fresh->AddrToString(zovtest::Loopback()), nullptr);

    ASSERT_TRUE(fresh->Init());
    EXPECT_TRUE(fresh->StringToAddr("127.0.0.1", addr));
    EXPECT_EQ(addr, zovtest::Loopback());
}

INSTANTIATE_TEST_SUITE_P(StartedOrNot, DeleteInstanceTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Started" : "NeverStarted";
                         });

TEST_F(NetLayerTest, EveryServiceRefusesBeforeInitAndLeavesItsOutputs) {
    ZovNet* net = ZovNet::GetInstance();
    const unsigned int loopback = zovtest::Loopback();
    const unsigned int sentinel = 0x5A5A5A5Au;

    char name[128];
    std::memset(name, '#', sizeof name);
    unsigned int addr = sentinel;
    EXPECT_FALSE(net->GetLocalInfo(name, &addr));
    EXPECT_FALSE(net->GetLocalInfo(nullptr, nullptr));
    EXPECT_EQ(name[0], '#');
    EXPECT_EQ(addr, sentinel);

    EXPECT_FALSE(net->CheckName("localhost"));
    EXPECT_FALSE(net->CheckAddr(loopback));

    EXPECT_FALSE(net->NameToAddr("localhost", &addr));
    EXPECT_EQ(addr, sentinel);

    // Unlike a failed lookup, a refusal before Init does not empty the string.
    char text[16];
    std::memset(text, '#', sizeof text);
    EXPECT_FALSE(net->AddrToName(loopback, text, sizeof text));
    EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, '#'));

    EXPECT_FALSE(net->AddrToString(loopback, text, sizeof text));
    EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, '#'));
    EXPECT_EQ(net->AddrToString(loopback), nullptr);

    EXPECT_FALSE(net->StringToAddr("127.0.0.1", addr));
    EXPECT_EQ(addr, sentinel);
}

// --------------------------------------------------------------------------------------------
// Dotted-decimal conversions
// --------------------------------------------------------------------------------------------

struct DottedCase {
    const char* text;
    Bytes bytes; // the address as it lies in memory, network byte order
};

const DottedCase kDotted[] = {
    {"127.0.0.1", {127, 0, 0, 1}},
    {"10.1.2.3", {10, 1, 2, 3}},
    {"192.168.100.200", {192, 168, 100, 200}},
    {"0.0.0.0", {0, 0, 0, 0}},
};

TEST_F(NetServicesTest, StringToAddrStoresNetworkByteOrder) {
    for (const DottedCase& c : kDotted) {
        SCOPED_TRACE(c.text);
        unsigned int addr = 0x5A5A5A5Au;
        EXPECT_TRUE(net->StringToAddr(c.text, addr));
        EXPECT_EQ(BytesOf(addr), c.bytes);
    }
}

TEST_F(NetServicesTest, StringToAddrRefusesAndLeavesTheAddress) {
    // 255.255.255.255 is valid text, but it parses to the parser's failure value.
    for (const char* text : {"255.255.255.255", "garbage", "", "256.1.1.1", "1.2.3.4.5"}) {
        SCOPED_TRACE(text);
        unsigned int addr = 0x5A5A5A5Au;
        EXPECT_FALSE(net->StringToAddr(text, addr));
        EXPECT_EQ(addr, 0x5A5A5A5Au);
    }
}

TEST_F(NetServicesTest, AddrToStringGivesDottedText) {
    for (const DottedCase& c : kDotted) {
        SCOPED_TRACE(c.text);
        const char* text = net->AddrToString(AddrOf(c.bytes));
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, c.text);
    }
    EXPECT_STREQ(net->AddrToString(AddrOf({255, 255, 255, 255})), "255.255.255.255");
}

struct BufferCase {
    Bytes bytes;
    unsigned int size;
    const char* expected;
};

TEST_F(NetServicesTest, AddrToStringCutsToTheBuffer) {
    const BufferCase cases[] = {
        {{192, 168, 100, 200}, 32, "192.168.100.200"},
        {{192, 168, 100, 200}, 16, "192.168.100.200"},
        {{192, 168, 100, 200}, 15, "192.168.100.20"},
        {{192, 168, 100, 200}, 8, "192.168"},
        {{192, 168, 100, 200}, 1, ""},
        {{127, 0, 0, 1}, 16, "127.0.0.1"},
    };
    for (const BufferCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.expected << " in " << c.size << " bytes");
        std::vector<char> buffer(40, '#');
        EXPECT_TRUE(net->AddrToString(AddrOf(c.bytes), buffer.data(), c.size));
        ExpectBoundedCopy(buffer, c.expected, c.size);
    }
}

TEST_F(NetServicesTest, SizeZeroIsRefusedWithoutWriting) {
    char text[8];
    std::memset(text, '#', sizeof text);
    EXPECT_FALSE(net->AddrToString(zovtest::Loopback(), text, 0));
    EXPECT_FALSE(net->AddrToName(zovtest::Loopback(), text, 0));
    EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, '#'));
}

// --------------------------------------------------------------------------------------------
// Lookups
// --------------------------------------------------------------------------------------------

TEST_F(NetServicesTest, CheckAddrOfLoopback) {
    EXPECT_TRUE(net->CheckAddr(zovtest::Loopback()));
}

TEST_F(NetServicesTest, AddrToNameOfLoopbackCutsToTheBuffer) {
    // The official name of 127.0.0.1 is the first name on the file's first line for it.
    std::string official;
    for (const HostsLine& line : ReadHostsFile()) {
        if (line.addr == zovtest::Loopback()) {
            official = line.names.front();
            break;
        }
    }
    if (official.empty())
        GTEST_SKIP() << "the hosts file has no line for 127.0.0.1";

    const unsigned int length = static_cast<unsigned int>(official.size());
    for (unsigned int size : {128u, length + 1, length, 4u, 1u}) {
        SCOPED_TRACE(::testing::Message() << "size " << size);
        std::vector<char> buffer(160, '#');
        EXPECT_TRUE(net->AddrToName(zovtest::Loopback(), buffer.data(), size));
        ExpectBoundedCopy(buffer, official.substr(0, size - 1), size);
    }
}

enum class NameKind { Localhost, Numeric, OwnName };

struct ResolvableCase {
    const char* label;
    NameKind kind;
};

void PrintTo(const ResolvableCase& c, std::ostream* os) {
    *os << c.label;
}

class ResolvableNameTest : public NetServicesTest,
                           public ::testing::WithParamInterface<ResolvableCase> {};

// Both services resolve the name; NameToAddr takes the first address as it is, loopback
// included.
TEST_P(ResolvableNameTest, ResolvesToTheFirstAddress) {
    std::string name;
    unsigned int expected = 0;
    std::vector<unsigned int> interfaces; // the system's answer for its own name, where it differs
    if (GetParam().kind == NameKind::Numeric) {
        name = "127.0.0.1";
        expected = zovtest::Loopback();
    } else if (GetParam().kind == NameKind::OwnName && zovtest::kOwnNameFromInterfaces) {
        name = OwnName();
        interfaces = zovtest::OwnNameAddresses(name);
        if (interfaces.empty())
            GTEST_SKIP() << "the system does not resolve its own name " << name;
    } else {
        name = GetParam().kind == NameKind::Localhost ? "localhost" : OwnName();
        const std::vector<HostsLine> lines = LinesNaming(name);
        if (lines.empty())
            GTEST_SKIP() << "the hosts file does not answer " << name;
        expected = lines.front().addr;
    }
    SCOPED_TRACE(name);

    EXPECT_TRUE(net->CheckName(name.c_str()));
    unsigned int addr = 0x5A5A5A5Au;
    EXPECT_TRUE(net->NameToAddr(name.c_str(), &addr));
    if (interfaces.empty())
        EXPECT_EQ(Dotted(addr), Dotted(expected));
    else
        EXPECT_NE(std::find(interfaces.begin(), interfaces.end(), addr), interfaces.end())
            << "unexpected address " << Dotted(addr);
}

INSTANTIATE_TEST_SUITE_P(HostsFile, ResolvableNameTest,
                         ::testing::Values(ResolvableCase{"Localhost", NameKind::Localhost},
                                           ResolvableCase{"Numeric", NameKind::Numeric},
                                           ResolvableCase{"OwnName", NameKind::OwnName}),
                         [](const ::testing::TestParamInfo<ResolvableCase>& info) {
                             return std::string(info.param.label);
                         });

TEST_F(NetServicesTest, UnresolvableNameFailsQuietlyAndWritesNothing) {
    unsigned int addr = 0x5A5A5A5Au;
    const std::string err = zovtest::StderrOf([&] {
        EXPECT_FALSE(net->CheckName(kUnresolvable.c_str()));
        EXPECT_FALSE(net->NameToAddr(kUnresolvable.c_str(), &addr));
    });
    EXPECT_EQ(addr, 0x5A5A5A5Au);
    EXPECT_EQ(err, "") << "services show no box";
}

// --------------------------------------------------------------------------------------------
// The local host
// --------------------------------------------------------------------------------------------

// What GetLocalInfo must give on this machine, worked out from the hosts file.
struct LocalExpectation {
    std::string name;
    std::vector<unsigned int> addrs; // any of these is right
};

bool ExpectLocalInfo(LocalExpectation& out) {
    const std::string own = OwnName();
    if (zovtest::kOwnNameFromInterfaces) {
        out.name = own;
        out.addrs.clear();
        for (unsigned int addr : zovtest::OwnNameAddresses(own))
            if (addr != zovtest::Loopback())
                out.addrs.push_back(addr);
        if (out.addrs.empty())
            out.addrs.push_back(zovtest::Loopback());
        return true;
    }
    const std::vector<HostsLine> lines = LinesNaming(own);
    if (lines.empty())
        return false;

    // A name that does not begin with "localhost" wins; the official name comes before the
    // aliases, and the own name is the last resort.
    out.name = own;
    if (IsLocalhost(own)) {
        const std::vector<std::string>& names = lines.front().names;
        const auto other = std::find_if(names.begin(), names.end(),
                                        [](const std::string& n) { return !IsLocalhost(n); });
        if (other != names.end())
            out.name = *other;
    }

    // The first address other than 127.0.0.1; which one that is depends on whether the resolver
    // merges the lines that name the host, so any of them will do.
    out.addrs.clear();
    for (const HostsLine& line : lines)
        if (line.addr != zovtest::Loopback())
            out.addrs.push_back(line.addr);
    if (out.addrs.empty())
        out.addrs.push_back(zovtest::Loopback());
    return true;
}

struct LocalInfoCase {
    const char* label;
    bool wantName;
    bool wantAddr;
};

void PrintTo(const LocalInfoCase& c, std::ostream* os) {
    *os << c.label;
}

class LocalInfoTest : public NetServicesTest,
                      public ::testing::WithParamInterface<LocalInfoCase> {};

TEST_P(LocalInfoTest, GivesTheLocalNameAndAddress) {
    LocalExpectation expected;
    if (!ExpectLocalInfo(expected))
        GTEST_SKIP() << "the hosts file does not answer this host's own name " << OwnName();

    char name[128];
    std::memset(name, '#', sizeof name);
    unsigned int addr = 0x5A5A5A5Au;
    EXPECT_TRUE(net->GetLocalInfo(GetParam().wantName ? name : nullptr,
                                  GetParam().wantAddr ? &addr : nullptr));

    if (GetParam().wantName)
        EXPECT_EQ(std::string(name), expected.name);
    else
        EXPECT_EQ(name[0], '#');

    if (GetParam().wantAddr) {
        const bool allowed =
            std::find(expected.addrs.begin(), expected.addrs.end(), addr) != expected.addrs.end();
        EXPECT_TRUE(allowed) << "unexpected address " << Dotted(addr);
    } else {
        EXPECT_EQ(addr, 0x5A5A5A5Au);
    }
}

INSTANTIATE_TEST_SUITE_P(Outputs, LocalInfoTest,
                         ::testing::Values(LocalInfoCase{"Both", true, true},
                                           LocalInfoCase{"NameOnly", true, false},
                                           LocalInfoCase{"AddressOnly", false, true},
                                           LocalInfoCase{"Neither", false, false}),
                         [](const ::testing::TestParamInfo<LocalInfoCase>& info) {
                             return std::string(info.param.label);
                         });

// --------------------------------------------------------------------------------------------
// The address record
// --------------------------------------------------------------------------------------------

TEST(NetAddrTest, StoresAddressAndPortUnconverted) {
    const ZovNetAddr none;
    EXPECT_EQ(none.addr, 0u);
    EXPECT_EQ(none.port, 0u);

    // 127.0.0.1:8080 in network byte order on any CPU (a byte swap is that only on little-endian
    // ones).
    const ZovNetAddr given(htonl(0x7F000001u), htons(8080));
    EXPECT_EQ(given.addr, zovtest::Loopback());
    EXPECT_EQ(given.port, htons(8080));

    ZovNetAddr copy;
    copy = given;
    EXPECT_EQ(copy.addr, given.addr);
    EXPECT_EQ(copy.port, given.port);
}

} // namespace
