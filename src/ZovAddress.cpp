// The address value of either family, and its text forms.
#include "ZovNet.h"
#include "ZovNetInternal.h"

#include <cstring>

namespace {

const unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool IsMapped(const unsigned char bytes[16]) {
    return std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int HexValue(char c) {
    if (IsDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Dotted IPv4 in [p, end): exactly four decimal parts 0-255. A leading zero is refused, since
// lenient parsers read such a part as octal and would give another address for the same text.
bool ParseV4(const char* p, const char* end, unsigned char out[4]) {
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (p == end || *p != '.')
                return false;
            ++p;
        }
        const char* start = p;
        unsigned int value = 0;
        while (p != end && IsDigit(*p) && p - start < 3)
            value = value * 10 + static_cast<unsigned int>(*p++ - '0');
        const long digits = p - start;
        if (digits == 0 || value > 255 || (digits > 1 && *start == '0'))
            return false;
        if (p != end && IsDigit(*p)) // a fourth digit
            return false;
        out[part] = static_cast<unsigned char>(value);
    }
    return p == end;
}

// The groups of one side of "::" (or of the whole address without it) in [p, end), appended to
// groups[] from *count on. The last group may be dotted IPv4 when `lastMayBeV4`, counting as two.
bool ParseGroups(const char* p, const char* end, bool lastMayBeV4, unsigned int groups[8],
                 int* count) {
    if (p == end)
        return true;
    for (;;) {
        const char* start = p;
        const char* stop = start;
        while (stop != end && *stop != ':')
            ++stop;
        if (stop == end && lastMayBeV4 && std::memchr(start, '.', end - start) != nullptr) {
            unsigned char v4[4];
            if (*count > 6 || !ParseV4(start, end, v4))
                return false;
            groups[(*count)++] = (v4[0] << 8) | v4[1];
            groups[(*count)++] = (v4[2] << 8) | v4[3];
            return true;
        }
        const long digits = stop - start;
        if (digits < 1 || digits > 4 || *count >= 8)
            return false;
        unsigned int value = 0;
        for (; p != stop; ++p) {
            const int h = HexValue(*p);
            if (h < 0)
                return false;
            value = (value << 4) | static_cast<unsigned int>(h);
        }
        groups[(*count)++] = value;
        if (stop == end)
            return true;
        p = stop + 1; // a single colon; a colon at the end leaves an empty group, refused above
        if (p == end)
            return false;
    }
}

// IPv6 text without its scope, in [p, end): RFC 4291 section 2.2.
bool ParseV6(const char* p, const char* end, unsigned char out[16]) {
    const char* gap = nullptr;
    for (const char* q = p; q + 1 < end; ++q) {
        if (q[0] == ':' && q[1] == ':') {
            gap = q;
            break;
        }
    }
    unsigned int head[8];
    unsigned int tail[8];
    int headCount = 0;
    int tailCount = 0;
    if (gap == nullptr) {
        if (!ParseGroups(p, end, true, head, &headCount) || headCount != 8)
            return false;
    } else {
        // The gap stands for at least one zero group, so each side is groups without a gap of
        // its own.
        if (!ParseGroups(p, gap, false, head, &headCount))
            return false;
        if (!ParseGroups(gap + 2, end, true, tail, &tailCount))
            return false;
        if (headCount + tailCount > 7)
            return false;
    }
    std::memset(out, 0, 16);
    for (int i = 0; i < headCount; ++i) {
        out[2 * i] = static_cast<unsigned char>(head[i] >> 8);
        out[2 * i + 1] = static_cast<unsigned char>(head[i]);
    }
    for (int i = 0; i < tailCount; ++i) {
        const int at = 8 - tailCount + i;
        out[2 * at] = static_cast<unsigned char>(tail[i] >> 8);
        out[2 * at + 1] = static_cast<unsigned char>(tail[i]);
    }
    return true;
}

// A scope: a decimal interface index, or the name of an interface the system knows.
bool ParseScope(const char* scope, unsigned int* out) {
    if (*scope == '\0')
        return false;
    bool numeric = true;
    for (const char* p = scope; *p != '\0'; ++p)
        numeric = numeric && IsDigit(*p);
    if (numeric) {
        unsigned long long value = 0;
        for (const char* p = scope; *p != '\0'; ++p) {
            value = value * 10 + static_cast<unsigned int>(*p - '0');
            if (value > 0xFFFFFFFFull)
                return false;
        }
        *out = static_cast<unsigned int>(value);
        return true;
    }
    *out = sys::ifnametoindex(scope);
    return *out != 0;
}

char* WriteDecimal(char* p, unsigned int value) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        *p++ = digits[--n];
    return p;
}

} // namespace

ZovAddress::ZovAddress() : ZovAddress(0u) {}

ZovAddress::ZovAddress(unsigned int ipv4) : m_scopeId(0), m_v6(false) {
    std::memcpy(m_bytes, kMappedPrefix, sizeof kMappedPrefix);
    std::memcpy(m_bytes + 12, &ipv4, 4);
}

ZovAddress ZovAddress::FromBytes(const unsigned char bytes[16], unsigned int scopeId) {
    ZovAddress a;
    std::memcpy(a.m_bytes, bytes, 16);
    // A mapped address is the IPv4 host itself, and an IPv4 address has no scope.
    if (!IsMapped(bytes)) {
        a.m_v6 = true;
        a.m_scopeId = scopeId;
    }
    return a;
}

ZovAddress ZovAddress::Any6() {
    const unsigned char any[16] = {};
    return FromBytes(any);
}

ZovAddress ZovAddress::Loopback6() {
    const unsigned char loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return FromBytes(loopback);
}

ZovAddress ZovAddress::Loopback4() {
    const unsigned char loopback[4] = {127, 0, 0, 1};
    unsigned int addr;
    std::memcpy(&addr, loopback, sizeof addr);
    return ZovAddress(addr);
}

bool ZovAddress::IsV4() const {
    return !m_v6;
}

bool ZovAddress::IsV6() const {
    return m_v6;
}

unsigned int ZovAddress::V4() const {
    if (m_v6)
        return 0;
    unsigned int addr;
    std::memcpy(&addr, m_bytes + 12, sizeof addr);
    return addr;
}

void ZovAddress::Bytes(unsigned char out[16]) const {
    std::memcpy(out, m_bytes, 16);
}

unsigned int ZovAddress::ScopeId() const {
    return m_scopeId;
}

bool ZovAddress::operator==(const ZovAddress& other) const {
    return m_v6 == other.m_v6 && m_scopeId == other.m_scopeId &&
           std::memcmp(m_bytes, other.m_bytes, 16) == 0;
}

bool ZovAddress::operator!=(const ZovAddress& other) const {
    return !(*this == other);
}

bool ParseAddress(const char* text, ZovAddress& out) {
    const char* end = text + std::strlen(text);
    if (std::memchr(text, ':', static_cast<size_t>(end - text)) == nullptr) {
        unsigned char v4[4];
        if (!ParseV4(text, end, v4))
            return false;
        unsigned int addr;
        std::memcpy(&addr, v4, sizeof addr);
        out = ZovAddress(addr);
        return true;
    }
    const char* percent = std::strchr(text, '%');
    unsigned char bytes[16];
    if (!ParseV6(text, percent != nullptr ? percent : end, bytes))
        return false;
    unsigned int scope = 0;
    if (percent != nullptr) {
        // A scope on a mapped address would be lost on the IPv4 address it gives.
        if (IsMapped(bytes) || !ParseScope(percent + 1, &scope))
            return false;
    }
    out = ZovAddress::FromBytes(bytes, scope);
    return true;
}

unsigned int FormatAddress(const ZovAddress& a, char* text) {
    unsigned char bytes[16];
    a.Bytes(bytes);
    char* p = text;
    if (a.IsV4()) {
        for (int i = 12; i < 16; ++i) {
            if (i > 12)
                *p++ = '.';
            p = WriteDecimal(p, bytes[i]);
        }
        *p = '\0';
        return static_cast<unsigned int>(p - text);
    }
    unsigned int groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = (static_cast<unsigned int>(bytes[2 * i]) << 8) | bytes[2 * i + 1];
    // The longest run of two or more zero groups, the first of equal ones (RFC 5952 4.2).
    int runStart = -1;
    int runLength = 1;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0)
            ++j;
        if (j - i > runLength) {
            runStart = i;
            runLength = j - i;
        }
        i = j;
    }
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        if (i == runStart) {
            *p++ = ':';
            if (i == 0)
                *p++ = ':';
            i += runLength - 1;
            continue;
        }
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned int digit = (groups[i] >> shift) & 0xF;
            if (digit != 0 || started || shift == 0) {
                *p++ = kHex[digit];
                started = true;
            }
        }
        if (i < 7)
            *p++ = ':';
    }
    if (a.ScopeId() != 0) {
        *p++ = '%';
        p = WriteDecimal(p, a.ScopeId());
    }
    *p = '\0';
    return static_cast<unsigned int>(p - text);
}
