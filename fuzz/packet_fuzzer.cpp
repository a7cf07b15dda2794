// Feeds arbitrary bytes to ZovNetPacket::WritePacket, then drives a script decoded from the same
// input: reads (of every field kind), cursor moves, Adds, Allocate, Reset, copies and more
// received messages. After every step the packet must hold 3 <= Cursor <= Length <= Size <= 65535
// and Size >= 8, and each operation must have done what it promises; any violation aborts. Memory
// errors are left to the sanitizers.
//
// Input layout: [constructor: 1 byte, room: 2, type: 1] [message length: 2] [message] [script...]
// where every script step is one opcode byte followed by its operands. Operands that run past the
// end of the input read as 0.
#include <ZovNet.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// NextPacket is private and parses bytes from the network. An explicit instantiation may name a
// private member: this one passes its address to a free function and opens nothing else.
template <void (ZovNetPacket::*Member)()> struct NextPacketAccess {
    friend void NextPacket(ZovNetPacket& packet) { (packet.*Member)(); }
};
template struct NextPacketAccess<&ZovNetPacket::NextPacket>;
void NextPacket(ZovNetPacket& packet);

[[noreturn]] void Fail(const char* what, const ZovNetPacket& packet) {
    std::fprintf(stderr, "packet_fuzzer: %s (cursor %u, length %u, size %u)\n", what,
                 packet.Cursor(), packet.Length(), packet.Size());
    std::abort();
}

void Check(bool holds, const char* what, const ZovNetPacket& packet) {
    if (!holds)
        Fail(what, packet);
}

void CheckInvariant(const ZovNetPacket& packet) {
    Check(PACKET_HEADER_SIZE <= packet.Cursor() && packet.Cursor() <= packet.Length() &&
              packet.Length() <= packet.Size() && packet.Size() >= PACKET_MIN_ALLOC,
          "invariant broken", packet);
}

// The whole buffer, read through the public interface without stamping the length.
const unsigned char* BufferStart(const ZovNetPacket& packet) {
    return packet.Content() - PACKET_HEADER_SIZE;
}

Bytes BufferOf(const ZovNetPacket& packet) {
    return Bytes(BufferStart(packet), BufferStart(packet) + packet.Size());
}

// Operands come from the input; past its end they are 0.
class Script {
public:
    Script(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool AtEnd() const { return m_pos >= m_size; }
    uint8_t U8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>((U8() << 8) | U8()); }
    uint32_t U32() { return (static_cast<uint32_t>(U16()) << 16) | U16(); }
    // Up to `n` bytes in an exact-size heap block, so that an over-read is caught.
    Bytes Take(size_t n) {
        n = std::min(n, m_size - std::min(m_pos, m_size));
        Bytes bytes(m_data + m_pos, m_data + m_pos + n);
        m_pos += n;
        return bytes;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// Raw bytes for large AddBin and WritePacket steps, which the input is too small to carry.
const Bytes& Filler() {
    static const Bytes filler = [] {
        Bytes bytes(65536 + 256);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<unsigned char>(i * 131 + 7);
        return bytes;
    }();
    return filler;
}

std::unique_ptr<ZovNetPacket> Construct(Script& script) {
    const uint8_t how = script.U8();
    const uint16_t room = script.U16();
    const uint8_t type = script.U8();
    std::unique_ptr<ZovNetPacket> packet;
    switch (how % 3) {
    case 0:
        packet = std::make_unique<ZovNetPacket>();
        break;
    case 1:
        packet = std::make_unique<ZovNetPacket>(room);
        break;
    default:
        packet = std::make_unique<ZovNetPacket>(type, room);
        break;
    }
    unsigned int expected = static_cast<uint16_t>(room + PACKET_HEADER_SIZE);
    if (how % 3 == 0)
        expected = 11;
    expected = std::max<unsigned int>(expected, PACKET_MIN_ALLOC);
    Check(packet->Size() == expected && packet->Length() == PACKET_HEADER_SIZE, "constructor sizes",
          *packet);
    return packet;
}

// WritePacket and what it promises about the used size and the copied bytes.
void Write(ZovNetPacket& packet, const unsigned char* data, unsigned int size) {
    const Bytes before = BufferOf(packet);
    const unsigned short oldSize = packet.Size(), oldLength = packet.Length(),
                         oldCursor = packet.Cursor();
    packet.WritePacket(data, size);
    CheckInvariant(packet);
    if (size == 0 || size > 65535) {
        Check(packet.Size() == oldSize && packet.Length() == oldLength &&
                  packet.Cursor() == oldCursor && BufferOf(packet) == before,
              "refused WritePacket changed the packet", packet);
        return;
    }
    Check(packet.Size() == std::max<unsigned int>(oldSize, size), "WritePacket size", packet);
    Check(packet.Cursor() == PACKET_HEADER_SIZE && packet.Valid(), "WritePacket cursor", packet);
    Check(std::memcmp(BufferStart(packet), data, size) == 0, "WritePacket bytes", packet);
    unsigned int field = static_cast<unsigned int>(data[0]) << 8;
    if (size >= 2)
        field |= data[1];
    const unsigned int bounded =
        std::min<unsigned int>(std::max<unsigned int>(field, PACKET_HEADER_SIZE), packet.Size());
    Check(packet.Length() == bounded, "WritePacket length", packet);
}

// What every Add promises: a field that fits in 65535 bytes is written at the cursor, growing the
// buffer (only when needed) to exactly `request` bytes, capped at 65535; any other field leaves
// the packet as it was.
void CheckAdd(const ZovNetPacket& packet, const Bytes& before, unsigned short cursor,
              unsigned short length, uint64_t width, uint64_t request, const unsigned char* field) {
    CheckInvariant(packet);
    if (width == 0 || cursor + width > 65535) {
        Check(packet.Cursor() == cursor && packet.Length() == length && BufferOf(packet) == before,
              "refused Add changed the packet", packet);
        return;
    }
    const uint64_t size =
        cursor + width <= before.size() ? before.size() : std::min<uint64_t>(request, 65535);
    Check(packet.Size() == size, "Add growth", packet);
    Check(packet.Cursor() == cursor + width, "Add cursor", packet);
    Check(packet.Length() == std::max<uint64_t>(length, cursor + width), "Add length", packet);
    const unsigned char* start = BufferStart(packet);
    Check(std::memcmp(start, before.data(), cursor) == 0, "Add kept the bytes before it", packet);
    Check(std::memcmp(start + cursor, field, width) == 0, "Add bytes", packet);
    const size_t behind = cursor + width;
    if (behind < before.size())
        Check(std::memcmp(start + behind, before.data() + behind, before.size() - behind) == 0,
              "Add kept the bytes behind it", packet);
    Check(std::all_of(start + std::max<size_t>(behind, before.size()), start + packet.Size(),
                      [](unsigned char b) { return b == 0; }),
          "Add growth is zero-filled", packet);
}

template <typename Value>
void AddInteger(ZovNetPacket& packet, Value value, void (ZovNetPacket::*add)(Value)) {
    const Bytes before = BufferOf(packet);
    const unsigned short cursor = packet.Cursor(), length = packet.Length();
    unsigned char field[sizeof(Value)];
    for (size_t i = 0; i < sizeof(Value); ++i)
        field[i] = static_cast<unsigned char>(value >> (8 * (sizeof(Value) - 1 - i)));
    (packet.*add)(value);
    CheckAdd(packet, before, cursor, length, sizeof(Value), cursor + 8u, field);
}

void AddBin(ZovNetPacket& packet, const unsigned char* source, unsigned int n) {
    const Bytes before = BufferOf(packet);
    const unsigned short cursor = packet.Cursor(), length = packet.Length();
    packet.AddBin(source, n);
    CheckAdd(packet, before, cursor, length, n, cursor + uint64_t{n} + 8, source);
}

template <typename Value> void ReadInteger(ZovNetPacket& packet, Value (ZovNetPacket::*read)()) {
    const unsigned int width = sizeof(Value);
    const unsigned short cursor = packet.Cursor();
    const bool wasValid = packet.Valid();
    uint64_t expected = 0;
    const bool whole = cursor + width <= packet.Length();
    if (whole) {
        for (unsigned int i = 0; i < width; ++i)
            expected = (expected << 8) | BufferStart(packet)[cursor + i];
    }
    const Value value = (packet.*read)();
    CheckInvariant(packet);
    Check(value == expected, "read value", packet);
    Check(packet.Cursor() == (whole ? cursor + width : cursor), "read cursor", packet);
    Check(packet.Valid() == (wasValid && whole), "read validity", packet);
}

// The floating-point reads give the bits of the integer read of the same width.
template <typename Real, typename Bits>
void ReadReal(ZovNetPacket& packet, Real (ZovNetPacket::*read)(), Bits (ZovNetPacket::*raw)()) {
    static_assert(sizeof(Real) == sizeof(Bits), "same width");
    ZovNetPacket twin(packet);
    const Real value = (packet.*read)();
    const Bits bits = (twin.*raw)();
    CheckInvariant(packet);
    Check(std::memcmp(&value, &bits, sizeof bits) == 0, "floating-point bits", packet);
    Check(packet.Cursor() == twin.Cursor() && packet.Valid() == twin.Valid(),
          "floating-point read cursor", packet);
}

// A string field is read whole or not at all: a count that runs past the used size reads
// nothing of it, and what is copied is always terminated inside the destination.
void ReadString(ZovNetPacket& packet, unsigned int size) {
    const unsigned short cursor = packet.Cursor();
    const bool wasValid = packet.Valid();
    const unsigned char* at = BufferStart(packet) + cursor;
    const bool counted = cursor + 2u <= packet.Length();
    const unsigned int count = counted ? (static_cast<unsigned int>(at[0]) << 8) | at[1] : 0;
    const bool whole = counted && cursor + 2u + count <= packet.Length();
    const Bytes field = whole ? Bytes(at + 2, at + 2 + count) : Bytes();
    Bytes dest(size + 1, 0xA5);
    const unsigned int got = packet.ReadString(reinterpret_cast<char*>(dest.data()), size);
    CheckInvariant(packet);
    Check(got == (whole ? count : 0), "ReadString count", packet);
    Check(packet.Cursor() == (whole ? cursor + 2 + count : cursor), "ReadString cursor", packet);
    Check(packet.Valid() == (wasValid && whole), "ReadString validity", packet);
    if (size > 0) {
        const unsigned int copied = whole ? std::min(count, size - 1) : 0;
        Check((copied == 0 || std::memcmp(dest.data(), field.data(), copied) == 0) &&
                  dest[copied] == 0,
              "ReadString bytes", packet);
        Check(std::all_of(dest.begin() + copied + 1, dest.end(),
                          [](unsigned char b) { return b == 0xA5; }),
              "ReadString wrote past its terminator", packet);
    }
}

void AddString(ZovNetPacket& packet, Bytes text) {
    std::replace(text.begin(), text.end(), static_cast<unsigned char>(0),
                 static_cast<unsigned char>(1));
    Bytes field = {static_cast<unsigned char>(text.size() >> 8),
                   static_cast<unsigned char>(text.size())};
    field.insert(field.end(), text.begin(), text.end());
    text.push_back(0);
    const Bytes before = BufferOf(packet);
    const unsigned short cursor = packet.Cursor(), length = packet.Length();
    packet.AddString(reinterpret_cast<const char*>(text.data()));
    CheckAdd(packet, before, cursor, length, field.size(), cursor + field.size() + 8, field.data());
}

void ReadBin(ZovNetPacket& packet, unsigned int n) {
    const unsigned short cursor = packet.Cursor();
    const unsigned int left = packet.Length() - cursor;
    const unsigned int count = std::min(n, left);
    Bytes dest(n + 1, 0xA5);
    const unsigned int got = packet.ReadBin(dest.data(), n);
    CheckInvariant(packet);
    Check(got == count && packet.Cursor() == cursor + count, "ReadBin count", packet);
    Check(std::memcmp(dest.data(), BufferStart(packet) + cursor, count) == 0, "ReadBin bytes",
          packet);
    Check(std::all_of(dest.begin() + count, dest.end(), [](unsigned char b) { return b == 0xA5; }),
          "ReadBin wrote past its count", packet);
}

// The copy rules: a copy is trimmed to max(Length, 8) bytes and keeps the type.
void CheckCopyOf(const ZovNetPacket& copy, const ZovNetPacket& source) {
    CheckInvariant(copy);
    const unsigned int size = std::max<unsigned int>(source.Length(), PACKET_MIN_ALLOC);
    Check(copy.Size() == size && copy.Length() == source.Length() &&
              copy.Cursor() == source.Cursor() && copy.Type() == source.Type(),
          "copy state", copy);
    Check(copy.Content() != source.Content(), "copy shares the buffer", copy);
    if (source.Length() > PACKET_HEADER_SIZE)
        Check(std::memcmp(BufferStart(copy), BufferStart(source), size) == 0, "copy bytes", copy);
}

void Step(ZovNetPacket& packet, Script& script) {
    switch (script.U8() % 28) {
    case 0:
        ReadInteger(packet, &ZovNetPacket::ReadInt8);
        break;
    case 1:
        ReadInteger(packet, &ZovNetPacket::ReadInt16);
        break;
    case 2:
        ReadInteger(packet, &ZovNetPacket::ReadInt32);
        break;
    case 3:
        ReadBin(packet, script.U16() % 1024);
        break;
    case 4: {
        const short delta = static_cast<short>(script.U16());
        const int target =
            std::clamp(packet.Cursor() + delta, int{PACKET_HEADER_SIZE}, int{packet.Length()});
        packet.MoveCursor(delta);
        CheckInvariant(packet);
        Check(packet.Cursor() == target, "MoveCursor", packet);
        break;
    }
    case 5:
        packet.GoToStart();
        CheckInvariant(packet);
        break;
    case 6:
        packet.GoToEnd();
        CheckInvariant(packet);
        Check(packet.Cursor() == packet.Length(), "GoToEnd", packet);
        break;
    case 7:
        AddInteger<unsigned char>(packet, script.U8(), &ZovNetPacket::AddInt8);
        break;
    case 8:
        AddInteger<unsigned short>(packet, script.U16(), &ZovNetPacket::AddInt16);
        break;
    case 9:
        AddInteger<unsigned int>(packet, script.U32(), &ZovNetPacket::AddInt32);
        break;
    case 10: {
        const Bytes bytes = script.Take(script.U8());
        AddBin(packet, bytes.data(), static_cast<unsigned int>(bytes.size()));
        break;
    }
    case 11: {
        // Large runs, up to and past the 65535-byte limit. The source holds only 65536 + 256
        // bytes, so a refused run that is read anyway shows up as an over-read.
        const uint32_t n = script.U32() % (65536 + 256 + 1);
        AddBin(packet, Filler().data(), n);
        break;
    }
    case 12: {
        const uint16_t size = script.U16();
        const uint8_t flags = script.U8();
        const bool keep = flags & 1, shrink = flags & 2;
        const unsigned short oldSize = packet.Size(), oldLength = packet.Length(),
                             oldCursor = packet.Cursor();
        const Bytes before = BufferOf(packet);
        const unsigned short got = packet.Allocate(size, keep, shrink);
        CheckInvariant(packet);
        const unsigned int wanted = std::max<unsigned int>(size, PACKET_MIN_ALLOC);
        const unsigned int expected = (wanted < oldSize && !shrink) ? oldSize : wanted;
        Check(got == expected && packet.Size() == expected, "Allocate size", packet);
        Check(packet.Length() == std::min<unsigned int>(oldLength, expected), "Allocate length",
              packet);
        Check(packet.Cursor() == std::min(oldCursor, packet.Length()), "Allocate cursor", packet);
        if (keep || expected == oldSize) {
            const unsigned int kept = std::min<unsigned int>(oldSize, expected);
            Check(std::memcmp(BufferStart(packet), before.data(), kept) == 0, "Allocate kept",
                  packet);
        } else {
            const Bytes now = BufferOf(packet);
            Check(std::all_of(now.begin(), now.end(), [](unsigned char b) { return b == 0; }),
                  "Allocate without keep left bytes", packet);
        }
        break;
    }
    case 13: {
        const unsigned char type = packet.Type();
        const unsigned short size = packet.Size();
        packet.Reset();
        CheckInvariant(packet);
        Bytes expected(size, 0);
        expected[2] = type;
        Check(BufferOf(packet) == expected && packet.Length() == 3 && packet.Cursor() == 3 &&
                  packet.Valid(),
              "Reset", packet);
        break;
    }
    case 14: {
        const ZovNetPacket copy(packet);
        CheckCopyOf(copy, packet);
        break;
    }
    case 15: {
        ZovNetPacket target(script.U8());
        target = packet;
        CheckCopyOf(target, packet);
        break;
    }
    case 16: {
        const Bytes before = BufferOf(packet);
        const unsigned short length = packet.Length(), cursor = packet.Cursor();
        ZovNetPacket& alias = packet;
        packet = alias;
        CheckInvariant(packet);
        Check(packet.Length() == length && packet.Cursor() == cursor && BufferOf(packet) == before,
              "self-assignment", packet);
        break;
    }
    case 17: {
        const unsigned char* data = packet.Data();
        CheckInvariant(packet);
        Check(static_cast<unsigned int>((data[0] << 8) | data[1]) == packet.Length(), "Data stamp",
              packet);
        break;
    }
    case 18: {
        const Bytes bytes = script.Take(script.U16() % 512);
        Write(packet, bytes.data(), static_cast<unsigned int>(bytes.size()));
        break;
    }
    case 19: {
        // A large message: its length field from the script, its body from the filler. Sizes
        // reach past 65535 to check the refusal.
        const uint16_t field = script.U16();
        const unsigned int size = 1 + script.U32() % (65536 + 256);
        Bytes bytes(Filler().begin(), Filler().begin() + size);
        bytes[0] = static_cast<unsigned char>(field >> 8);
        if (size >= 2)
            bytes[1] = static_cast<unsigned char>(field);
        Write(packet, bytes.data(), size);
        break;
    }
    case 20:
        packet.SetType(script.U8());
        CheckInvariant(packet);
        break;
    case 21:
        ReadInteger(packet, &ZovNetPacket::ReadInt64);
        break;
    case 22:
        if (script.U8() % 2 == 0)
            ReadReal(packet, &ZovNetPacket::ReadFloat, &ZovNetPacket::ReadInt32);
        else
            ReadReal(packet, &ZovNetPacket::ReadDouble, &ZovNetPacket::ReadInt64);
        break;
    case 23:
        ReadString(packet, script.U16() % 1024);
        break;
    case 24:
        AddInteger<unsigned long long>(packet, (uint64_t{script.U32()} << 32) | script.U32(),
                                       &ZovNetPacket::AddInt64);
        break;
    case 25:
        AddString(packet, script.Take(script.U16() % 2048));
        break;
    case 26:
        Check(packet.Remaining() == static_cast<unsigned int>(packet.Length() - packet.Cursor()),
              "Remaining", packet);
        break;
    default: {
        // The bytes behind the used size move to the front and become the next message, whose
        // length is bounded to what moved and to at least the header.
        const Bytes before = BufferOf(packet);
        const unsigned short length = packet.Length();
        NextPacket(packet);
        CheckInvariant(packet);
        Check(packet.Size() == before.size(), "NextPacket size", packet);
        if (length >= before.size()) {
            Check(packet.Length() == length && BufferOf(packet) == before, "NextPacket at the end",
                  packet);
            break;
        }
        Bytes expected(before.begin() + length, before.end());
        expected.resize(before.size(), 0);
        const unsigned int rest = static_cast<unsigned int>(before.size()) - length;
        const unsigned int field = (static_cast<unsigned int>(expected[0]) << 8) | expected[1];
        Check(BufferOf(packet) == expected, "NextPacket bytes", packet);
        Check(packet.Length() == std::max<unsigned int>(std::min(field, rest), 3) &&
                  packet.Cursor() == 3,
              "NextPacket length", packet);
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // WritePacket reports every mismatched length on standard output; that is not a finding.
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Script script(data, size);
    std::unique_ptr<ZovNetPacket> packet = Construct(script);
    CheckInvariant(*packet);

    const Bytes message = script.Take(script.U16());
    Write(*packet, message.data(), static_cast<unsigned int>(message.size()));

    for (int steps = 0; steps < 256 && !script.AtEnd(); ++steps)
        Step(*packet, script);
    return 0;
}
