// The network layer: starting and stopping the socket system, and the name and address services.
#include "ZovNet.h"
#include "ZovNetInternal.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

// The loopback address 127.0.0.1 as it lies in memory in network byte order, on any host.
unsigned int LoopbackAddr() {
    const unsigned char bytes[4] = {127, 0, 0, 1};
    unsigned int addr;
    std::memcpy(&addr, bytes, sizeof addr);
    return addr;
}

bool IsLocalhost(const char* name) {
    return std::strncmp(name, "localhost", 9) == 0;
}

// Whether a service may go on; otherwise records why not (ZovNet::LastError).
bool Ready(bool initialized, const void* a = "", const void* b = "") {
    if (!initialized)
        return ZovNetFail(ZOVNET::ERRCODE_NOT_STARTED, false);
    if (a == nullptr || b == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, false);
    return true;
}

// Copies at most size - 1 characters, zero-pads to size - 1 and terminates at size - 1.
void CopyBounded(char* str, const char* text, unsigned int size) {
    unsigned int n = 0;
    for (; n + 1 < size && text[n] != '\0'; ++n)
        str[n] = text[n];
    std::memset(str + n, 0, size - n);
}

} // namespace

ZovNet* ZovNet::m_instance = nullptr;

ZovNet::ZovNet() : m_initialized(false) {}

ZovNet* ZovNet::GetInstance() {
    if (m_instance == nullptr) {
        m_instance = new (std::nothrow) ZovNet;
        ZOVNET_ASSERT(m_instance != NULL);
    }
    return m_instance;
}

ZovNet::~ZovNet() {
    if (m_instance == nullptr)
        return;
    if (m_initialized) {
        if (sys::WSACleanup() == SOCKET_ERROR && sys::WSAGetLastError() == WSAEINPROGRESS) {
            sys::WSACancelBlockingCall();
            sys::WSACleanup();
        }
    }
    m_instance = nullptr;
}

bool ZovNet::Init() {
    if (m_initialized)
        return true;
    if (sys::WSAStartup(0x0202) != 0) {
        ZovNetWarning("Can not initialize network layer (Winsock).\n");
        return false;
    }
    m_initialized = true;
    return true;
}

bool ZovNet::GetLocalInfo(char* hostname, unsigned int* hostaddr) {
    if (!Ready(m_initialized))
        return false;

    char own[128];
    if (sys::gethostname(own, sizeof own) != 0)
        std::strcpy(own, "localhost");
    sys::HostEntry entry;
    if (!sys::gethostbyname(own, entry))
        return false;

    if (hostname != nullptr) {
        const char* name = own;
        if (IsLocalhost(own)) {
            if (!IsLocalhost(entry.h_name.c_str())) {
                name = entry.h_name.c_str();
            } else {
                name = "";
                for (const std::string& alias : entry.h_aliases) {
                    if (!IsLocalhost(alias.c_str())) {
                        name = alias.c_str();
                        break;
                    }
                }
                if (*name == '\0')
                    name = own;
            }
        }
        // The caller's buffer holds 128 bytes: the longest local name and its terminator.
        CopyBounded(hostname, name, 128);
    }

    if (hostaddr != nullptr) {
        unsigned int addr = 0;
        if (entry.h_length == 4) {
            const unsigned int loopback = LoopbackAddr();
            for (const std::vector<unsigned char>& a : entry.h_addr_list) {
                unsigned int candidate;
                std::memcpy(&candidate, a.data(), 4);
                if (candidate != loopback) {
                    addr = candidate;
                    break;
                }
            }
            if (addr == 0)
                addr = loopback;
        }
        *hostaddr = addr;
    }
    return true;
}

bool ZovNet::CheckName(const char* hostname) const {
    ZOVNET_ASSERT(hostname != NULL);
    if (!Ready(m_initialized, hostname))
        return false;
    sys::HostEntry entry;
    return sys::gethostbyname(hostname, entry);
}

bool ZovNet::CheckAddr(unsigned int hostaddr) const {
    if (!Ready(m_initialized))
        return false;
    sys::HostEntry entry;
    return sys::gethostbyaddr(&hostaddr, 4, AF_INET, entry);
}

bool ZovNet::NameToAddr(const char* hostname, unsigned int* hostaddr) const {
    ZOVNET_ASSERT(hostname != NULL);
    ZOVNET_ASSERT(hostaddr != NULL);
    if (!Ready(m_initialized, hostname, hostaddr))
        return false;
    sys::HostEntry entry;
    if (!sys::gethostbyname(hostname, entry))
        return false;
    // Only a 4-byte address fits the result.
    if (entry.h_length != 4 || entry.h_addr_list.empty())
        return ZovNetFail(WSAEAFNOSUPPORT, false);
    std::memcpy(hostaddr, entry.h_addr_list.front().data(), 4);
    return true;
}

bool ZovNet::AddrToName(unsigned int hostaddr, char* str, unsigned int size) const {
    ZOVNET_ASSERT(str != NULL);
    if (!Ready(m_initialized, str))
        return false;
    if (size == 0)
        return ZovNetFail(ZOVNET::ERRCODE_INVALID_ARGUMENT, false);
    sys::HostEntry entry;
    if (!sys::gethostbyaddr(&hostaddr, 4, AF_INET, entry)) {
        str[0] = '\0';
        return false;
    }
    CopyBounded(str, entry.h_name.c_str(), size);
    return true;
}

bool ZovNet::AddrToString(unsigned int hostaddr, char* str, unsigned int size) const {
    ZOVNET_ASSERT(str != NULL);
    if (!Ready(m_initialized, str))
        return false;
    if (size == 0)
        return ZovNetFail(ZOVNET::ERRCODE_INVALID_ARGUMENT, false);
    CopyBounded(str, AddrToString(hostaddr), size);
    return true;
}

const char* ZovNet::AddrToString(unsigned int hostaddr) const {
    if (!Ready(m_initialized))
        return nullptr;
    return sys::inet_ntoa(hostaddr);
}

bool ZovNet::StringToAddr(const char* str, unsigned int& hostaddr) const {
    ZOVNET_ASSERT(str != NULL);
    if (!Ready(m_initialized, str))
        return false;
    const unsigned int addr = sys::inet_addr(str);
    if (addr == INADDR_NONE)
        return ZovNetFail(ZOVNET::ERRCODE_INVALID_ARGUMENT, false);
    hostaddr = addr;
    return true;
}

bool ZovNet::StringToAddress(const char* text, ZovAddress& out) const {
    ZOVNET_ASSERT(text != NULL);
    if (!Ready(m_initialized, text))
        return false;
    if (!ParseAddress(text, out))
        return ZovNetFail(ZOVNET::ERRCODE_INVALID_ARGUMENT, false);
    return true;
}

bool ZovNet::AddressToString(const ZovAddress& a, char* text, unsigned int size) const {
    ZOVNET_ASSERT(text != NULL);
    if (!Ready(m_initialized, text))
        return false;
    char whole[ZOVNET::ADDRESS_STRING_SIZE];
    const unsigned int length = FormatAddress(a, whole);
    if (length >= size) {
        // A cut address would be another address: the caller gets none.
        if (size > 0)
            text[0] = '\0';
        return ZovNetFail(ZOVNET::ERRCODE_INVALID_ARGUMENT, false);
    }
    std::memcpy(text, whole, length + 1);
    return true;
}

int ZovNet::ResolveName(const char* name, ZovAddress* out, int max) const {
    ZOVNET_ASSERT(name != NULL);
    ZOVNET_ASSERT(out != NULL);
    if (!Ready(m_initialized, name, out))
        return -1;
    if (max < 1)
        return ZovNetFail(ZOVNET::ERRCODE_INVALID_ARGUMENT, -1);
    std::vector<sys::ResolvedAddress> found;
    if (!sys::getaddresses(name, found))
        return -1;
    int count = 0;
    for (const sys::ResolvedAddress& r : found) {
        ZovAddress a;
        if (r.family == AF_INET) {
            unsigned int addr;
            std::memcpy(&addr, r.bytes, sizeof addr);
            a = ZovAddress(addr);
        } else {
            a = ZovAddress::FromBytes(r.bytes, r.scopeId); // a mapped answer becomes IPv4 here
        }
        bool seen = false;
        for (int i = 0; i < count && !seen; ++i)
            seen = out[i] == a;
        if (!seen)
            out[count++] = a;
        if (count == max)
            break;
    }
    if (count == 0)
        return ZovNetFail(WSANO_DATA, -1);
    return count;
}
