#include "ZovNet.h"
#include "ZovNetInternal.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace {

constexpr unsigned int MAX_PACKET = 65535;

// A packet without a buffer would break every accessor; a release build that cannot get even a
// few bytes has nothing sane left to do. (Growth failures are survivable and handled in
// Allocate.)
unsigned char* NewBuffer(unsigned short size) {
    return static_cast<unsigned char*>(std::calloc(size, 1));
}

void RequireBuffer(const unsigned char* buffer) {
    if (buffer == nullptr)
        std::abort();
}

// Content() is public, so a caller may hand a packet bytes of its own buffer. Returns where `p`
// lies in the `size` bytes at `buffer`, or `size` when it lies outside them. (Addresses are
// compared as integers: pointers into different blocks have no order in the language.)
std::size_t OffsetIn(const unsigned char* buffer, std::size_t size, const void* p) {
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(buffer);
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p);
    return at >= start && at - start < size ? static_cast<std::size_t>(at - start) : size;
}

} // namespace

ZovNetPacket::ZovNetPacket(unsigned char type, unsigned short size)
    : m_buffer(nullptr), m_cursor(PACKET_HEADER_SIZE), m_asize(0), m_usize(PACKET_HEADER_SIZE),
      m_valid(true) {
    // The content size plus the header wraps in 16 bits above 65532, as the type says it does.
    m_asize = static_cast<unsigned short>(size + PACKET_HEADER_SIZE);
    if (m_asize < PACKET_MIN_ALLOC)
        m_asize = PACKET_MIN_ALLOC;
    m_buffer = NewBuffer(m_asize);
    ZOVNET_ASSERT(m_buffer != NULL);
    RequireBuffer(m_buffer);
    m_buffer[2] = type;
}

ZovNetPacket::ZovNetPacket(unsigned short size)
    : m_buffer(nullptr), m_cursor(PACKET_HEADER_SIZE), m_asize(0), m_usize(PACKET_HEADER_SIZE),
      m_valid(true) {
    m_asize = static_cast<unsigned short>(size + PACKET_HEADER_SIZE);
    if (m_asize < PACKET_MIN_ALLOC)
        m_asize = PACKET_MIN_ALLOC;
    m_buffer = NewBuffer(m_asize);
    ZOVNET_ASSERT(m_buffer != NULL);
    RequireBuffer(m_buffer);
}

ZovNetPacket::ZovNetPacket(const ZovNetPacket& other)
    : m_buffer(nullptr), m_cursor(other.m_cursor), m_asize(0), m_usize(other.m_usize),
      m_valid(other.m_valid) {
    if (other.m_usize <= PACKET_HEADER_SIZE) {
        m_asize = PACKET_MIN_ALLOC;
        m_usize = PACKET_HEADER_SIZE;
        m_buffer = NewBuffer(m_asize);
        ZOVNET_ASSERT(m_buffer != NULL);
        RequireBuffer(m_buffer);
        // A header-only message (a "ping") is still a message of its type: keep the type.
        m_buffer[2] = other.m_buffer[2];
    } else {
        m_asize = other.m_usize > PACKET_MIN_ALLOC ? other.m_usize : PACKET_MIN_ALLOC;
        m_buffer = NewBuffer(m_asize);
        ZOVNET_ASSERT(m_buffer != NULL);
        RequireBuffer(m_buffer);
        std::memcpy(m_buffer, other.m_buffer, m_asize);
    }
    if (m_cursor > m_usize)
        m_cursor = m_usize;
}

ZovNetPacket& ZovNetPacket::operator=(const ZovNetPacket& other) {
    if (this != &other) {
        ZovNetPacket copy(other);
        std::swap(m_buffer, copy.m_buffer);
        std::swap(m_cursor, copy.m_cursor);
        std::swap(m_asize, copy.m_asize);
        std::swap(m_usize, copy.m_usize);
        std::swap(m_valid, copy.m_valid);
    }
    return *this;
}

ZovNetPacket::~ZovNetPacket() {
    ZOVNET_ASSERT(m_buffer != NULL);
    std::free(m_buffer);
}

unsigned short ZovNetPacket::Allocate(unsigned short size, bool keep, bool shrink) {
    if (size < PACKET_MIN_ALLOC)
        size = PACKET_MIN_ALLOC;
    if (size == m_asize)
        return m_asize;
    if (size < m_asize && !shrink)
        return m_asize;

    unsigned char* nbuf;
    if (keep) {
        // The allocator can often extend a block where it lies: a growing packet then copies
        // nothing. The request is still exactly `size` bytes.
        nbuf = static_cast<unsigned char*>(std::realloc(m_buffer, size));
        ZOVNET_ASSERT(nbuf != NULL);
        if (nbuf == nullptr)
            return m_asize; // the release build keeps the old buffer; callers check what they got
        if (size > m_asize)
            std::memset(nbuf + m_asize, 0, size - m_asize);
    } else {
        nbuf = NewBuffer(size);
        ZOVNET_ASSERT(nbuf != NULL);
        if (nbuf == nullptr)
            return m_asize;
        std::free(m_buffer);
    }
    m_buffer = nbuf;
    m_asize = size;

    if (m_usize > m_asize)
        m_usize = m_asize;
    if (m_cursor > m_usize)
        m_cursor = m_usize;
    return m_asize;
}

void ZovNetPacket::Reset() {
    unsigned char type = m_buffer[2];
    std::memset(m_buffer, 0, m_asize);
    m_buffer[2] = type;
    m_cursor = PACKET_HEADER_SIZE;
    m_usize = PACKET_HEADER_SIZE;
    m_valid = true;
}

void ZovNetPacket::WritePacketChecked(const unsigned char* data, unsigned int size) {
    ZOVNET_ASSERT(data != NULL);
    if (size == 0 || data == nullptr || size > MAX_PACKET)
        return;

    // Bytes of this packet's own buffer are moved, not copied; they can never need a larger
    // buffer (that would read beyond this one), so growth cannot free them.
    const std::size_t inside = OffsetIn(m_buffer, m_asize, data);
    if (inside != m_asize && size > m_asize - inside)
        return;

    // A single byte carries no second length byte: it counts as 0, never as whatever the buffer
    // held there. Read before the copy, which may overwrite the bytes `data` points at.
    unsigned int field = static_cast<unsigned int>(data[0]) << 8;
    if (size >= 2)
        field |= data[1];

    Allocate(static_cast<unsigned short>(size), false, false);
    if (size > m_asize)
        return; // the buffer could not grow; nothing was changed
    std::memmove(m_buffer, data, size);
    m_valid = true;

    if (field != size) {
        char line[64];
        std::snprintf(line, sizeof line, "WritePacket: size(%d) != usize(%d)\n",
                      static_cast<int>(size), static_cast<int>(field));
        ZovNetNotice(line);
    }

    // The length field comes from the network: bound it so that every later read and write stays
    // inside the buffer.
    if (field < PACKET_HEADER_SIZE)
        field = PACKET_HEADER_SIZE;
    if (field > m_asize)
        field = m_asize;
    m_usize = static_cast<unsigned short>(field);
    m_cursor = PACKET_HEADER_SIZE;
    // The used bytes that did not arrive read as zero: never as an earlier message's bytes.
    if (m_usize > size)
        std::memset(m_buffer + size, 0, m_usize - size);
}

void ZovNetPacket::NextPacket() {
    if (m_usize >= m_asize)
        return;
    const unsigned short rest = static_cast<unsigned short>(m_asize - m_usize);
    std::memmove(m_buffer, m_buffer + m_usize, rest);
    std::memset(m_buffer + rest, 0, m_usize);
    unsigned short field = static_cast<unsigned short>((m_buffer[0] << 8) | m_buffer[1]);
    if (field > rest)
        field = rest;
    if (field < PACKET_HEADER_SIZE)
        field = PACKET_HEADER_SIZE;
    m_usize = field;
    m_cursor = PACKET_HEADER_SIZE;
    m_valid = true;
}

namespace {

// Makes room for a field of `width` bytes at the cursor once the buffer has proved too small;
// `request` is the allocation the growth rule asks for. A field that would take the packet past
// 65535 bytes gets no room.
bool Grow(ZovNetPacket& packet, unsigned int cursor, unsigned long long width,
          unsigned long long request) {
    if (cursor + width > MAX_PACKET)
        return false;
    if (request > MAX_PACKET)
        request = MAX_PACKET;
    return cursor + width <= packet.Allocate(static_cast<unsigned short>(request), true, false);
}

} // namespace

// The out-of-line halves of the Adds and Reads (the header has their common case). In the debug
// library every call comes here, since its users compile with ZOVNET_CHECKED, and each check
// below is the one the class has always made. A field that fits is written here too, for them.

void ZovNetPacket::AddIntChecked(unsigned long long value, unsigned int width) {
    const unsigned int cursor = m_cursor;
    // An integer field that does not fit grows the buffer to the cursor + 8.
    if (cursor + width > m_asize && !Grow(*this, cursor, width, cursor + 8ull))
        return;
    unsigned char* p = m_buffer + cursor;
    for (unsigned int i = 0; i < width; ++i)
        p[i] = static_cast<unsigned char>(value >> (8 * (width - 1 - i)));
    Advance(width);
}

void ZovNetPacket::AddBinChecked(const void* s, unsigned int n) {
    // clang-format off
    ZOVNET_ASSERT(s != NULL);
    ZOVNET_ASSERT(m_cursor <= m_asize);
    // clang-format on
    if (n == 0 || s == nullptr)
        return;
    // A source inside this packet's buffer is taken as it stood before the call: growth may move
    // the buffer and the run may overlap where it goes. One that runs past the buffer is refused.
    const std::size_t inside = OffsetIn(m_buffer, m_asize, s);
    const bool own = inside != m_asize;
    if (own && n > m_asize - inside)
        return;
    const unsigned int cursor = m_cursor;
    const unsigned long long end = cursor + static_cast<unsigned long long>(n);
    if (end > m_asize && !Grow(*this, cursor, n, end + 8))
        return;
    const unsigned char* source = own ? m_buffer + inside : static_cast<const unsigned char*>(s);
    std::memmove(m_buffer + cursor, source, n);
    Advance(n);
}

// A read with too few bytes left returns 0 and leaves the cursor: nothing outside the content is
// ever read, whatever length field the packet was given. Valid() remembers that it happened, since
// a missing field and a real 0 read the same.

unsigned int ZovNetPacket::Missing() {
    m_valid = false;
    return 0;
}

unsigned long long ZovNetPacket::ReadIntChecked(unsigned int width) {
    // The checks name the bytes each width needs, as they always have.
    // clang-format off
    switch (width) {
    case 1: ZOVNET_ASSERT(m_cursor < m_usize); break;
    case 2: ZOVNET_ASSERT(m_cursor+1 < m_usize); break;
    case 4: ZOVNET_ASSERT(m_cursor+3 < m_usize); break;
    default: ZOVNET_ASSERT(m_cursor+7 < m_usize); break;
    }
    // clang-format on
    if (m_cursor + width > m_usize)
        return Missing();
    const unsigned char* p = m_buffer + m_cursor;
    unsigned long long value = 0;
    for (unsigned int i = 0; i < width; ++i)
        value = (value << 8) | p[i];
    m_cursor = static_cast<unsigned short>(m_cursor + width);
    return value;
}

unsigned int ZovNetPacket::ReadBinChecked(void* dest, unsigned int n) {
    // clang-format off
    ZOVNET_ASSERT(dest != NULL);
    ZOVNET_ASSERT(m_cursor <= m_usize);
    // clang-format on
    unsigned int count = m_cursor < m_usize ? static_cast<unsigned int>(m_usize - m_cursor) : 0;
    if (n < count)
        count = n;
    if (count == 0 || dest == nullptr)
        return 0;
    // The destination may be this packet's own buffer (Content() is public).
    std::memmove(dest, m_buffer + m_cursor, count);
    m_cursor = static_cast<unsigned short>(m_cursor + count);
    return count;
}

void ZovNetPacket::AddStringChecked(const char* text) {
    // clang-format off
    ZOVNET_ASSERT(text != NULL);
    // clang-format on
    if (text == nullptr)
        return;
    const std::size_t n = std::strlen(text);
    const unsigned int cursor = m_cursor;
    // The count and the bytes go in together or not at all.
    const unsigned long long end = cursor + 2ull + n;
    if (end > MAX_PACKET)
        return;
    // A text inside this packet's buffer is taken as it stood before the call.
    const std::size_t inside = OffsetIn(m_buffer, m_asize, text);
    std::unique_ptr<char[]> own;
    if (inside != m_asize && n > 0) {
        own.reset(new (std::nothrow) char[n]);
        if (!own)
            return;
        std::memcpy(own.get(), text, n);
        text = own.get();
    }
    if (end > m_asize && !Grow(*this, cursor, 2 + n, end + 8))
        return;
    unsigned char* p = m_buffer + cursor;
    p[0] = static_cast<unsigned char>(n >> 8);
    p[1] = static_cast<unsigned char>(n);
    if (n > 0)
        std::memcpy(p + 2, text, n);
    Advance(static_cast<unsigned int>(2 + n));
}

unsigned int ZovNetPacket::ReadStringChecked(char* dest, unsigned int size) {
    // clang-format off
    ZOVNET_ASSERT(dest != NULL || size == 0);
    ZOVNET_ASSERT(m_cursor+1 < m_usize);
    // clang-format on
    if (dest != nullptr && size > 0)
        dest[0] = '\0';
    if (m_cursor + 2 > m_usize)
        return Missing();
    const unsigned char* p = m_buffer + m_cursor;
    const unsigned int count = (static_cast<unsigned int>(p[0]) << 8) | p[1];
    // A count from the network that runs past the message reads nothing of the field.
    // clang-format off
    ZOVNET_ASSERT(m_cursor+2+count <= m_usize);
    // clang-format on
    if (m_cursor + 2 + count > m_usize)
        return Missing();
    if (size > 0) {
        if (dest == nullptr)
            return 0;
        const unsigned int copied = count < size - 1 ? count : size - 1;
        // The destination may lie in this packet's own buffer (Content() is public).
        std::memmove(dest, p + 2, copied);
        dest[copied] = '\0';
    }
    m_cursor = static_cast<unsigned short>(m_cursor + 2 + count);
    return count;
}
