// Helpers for the packet tests: a view of the whole buffer, the packet invariant, and ways to
// bring a packet into a given state through its public operations only.
#ifndef ZOVNET_PACKET_SUPPORT_H
#define ZOVNET_PACKET_SUPPORT_H

#include "TestSupport.h"

#include <cstddef>
#include <string>
#include <tuple>
#include <vector>

namespace zovtest {

using Bytes = std::vector<unsigned char>;

// All Size() bytes of the buffer, header included, read without stamping the length (Data()
// would).
inline Bytes BufferOf(const ZovNetPacket& packet) {
    const unsigned char* start = packet.Content() - PACKET_HEADER_SIZE;
    return Bytes(start, start + packet.Size());
}

// Everything observable about a packet, for "nothing changed" comparisons.
using PacketState = std::tuple<Bytes, unsigned short, unsigned short, unsigned short>;

inline PacketState StateOf(const ZovNetPacket& packet) {
    return {BufferOf(packet), packet.Size(), packet.Length(), packet.Cursor()};
}

// 3 <= Cursor <= Length <= Size (<= 65535 by its type) and Size >= 8.
inline ::testing::AssertionResult HoldsInvariant(const ZovNetPacket& packet) {
    if (PACKET_HEADER_SIZE <= packet.Cursor() && packet.Cursor() <= packet.Length() &&
        packet.Length() <= packet.Size() && packet.Size() >= PACKET_MIN_ALLOC)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "cursor " << packet.Cursor() << ", length "
                                         << packet.Length() << ", size " << packet.Size();
}

// The content byte that FillTo puts at `position`: never 0, so that it is told from the zero
// fill of an allocation.
inline unsigned char PatternAt(std::size_t position) {
    return static_cast<unsigned char>(0x40 + position % 0xB0);
}

// `count` pattern bytes as they stand from `position` on.
inline Bytes Pattern(std::size_t position, std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = PatternAt(position + i);
    return bytes;
}

// Fills the content with pattern bytes up to `length`, then leaves the cursor at `cursor`. Uses
// only AddBin and GoToStart, so that the cursor tests do not rely on MoveCursor.
inline void FillTo(ZovNetPacket& packet, unsigned short length, unsigned short cursor) {
    if (length > PACKET_HEADER_SIZE) {
        const Bytes content = Pattern(PACKET_HEADER_SIZE, length - PACKET_HEADER_SIZE);
        packet.AddBin(content.data(), static_cast<unsigned int>(content.size()));
    }
    packet.GoToStart();
    if (cursor > PACKET_HEADER_SIZE) {
        const Bytes prefix = Pattern(PACKET_HEADER_SIZE, cursor - PACKET_HEADER_SIZE);
        packet.AddBin(prefix.data(), static_cast<unsigned int>(prefix.size()));
    }
}

// Hands `bytes` to WritePacket and returns what it printed (the mismatch line, if any).
inline std::string WriteBytes(ZovNetPacket& packet, const Bytes& bytes) {
    return StdoutOf(
        [&] { packet.WritePacket(bytes.data(), static_cast<unsigned int>(bytes.size())); });
}

// The mismatch line WritePacket prints for `size` received bytes announcing `field`.
inline std::string MismatchLine(unsigned int size, unsigned int field) {
    return "WritePacket: size(" + std::to_string(size) + ") != usize(" + std::to_string(field) +
           ")\n";
}

} // namespace zovtest

#endif // ZOVNET_PACKET_SUPPORT_H
