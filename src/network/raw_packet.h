// The bytes of a frame and the facts of its transport.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/lock.h"
#include "platform/types.h"

// Frame kinds, by their first byte.
inline constexpr BYTE kLogicalPacket = 0x1C;
inline constexpr BYTE kPhysicalPacket = 0x5C;
inline constexpr BYTE kBlockPacket = 0x6C;
inline constexpr BYTE kLongFrame = 0xAC;
// The longest frame the bus carries.
inline constexpr std::size_t kMaxFrameBytes = 1024;

// Two's complement of the 8-bit sum of bytes[0..6], so that the eight bytes sum to 0.
constexpr BYTE PacketChecksum(const BYTE* bytes) {
    unsigned sum = 0;
    for (int i = 0; i < 7; ++i)
        sum += bytes[i];
    return static_cast<BYTE>(0x100 - (sum & 0xFF));
}

// Every operation on the bytes holds Lock for its whole duration; the lock is recursive, so the
// operations may call one another, and a caller holds it to make several of them one step. The
// transport fields are plain words written by whichever thread owns the packet at the time.
// Index arguments must be valid (callers check them).
class RawPacket {
  public:
    RawPacket();
    RawPacket(const RawPacket&) = delete;
    RawPacket& operator=(const RawPacket&) = delete;
    virtual ~RawPacket();

    void Clear();
    void AssignBytes(const BYTE* bytes, std::size_t length);
    // True once the byte count has reached ExpectedLength.
    bool AppendByte(BYTE value);
    LONG ByteCount() const;
    BYTE ByteAt(LONG index) const;
    void SetByteAt(LONG index, BYTE value);
    void Resize(LONG count, BYTE fill);
    void RemoveAt(LONG index);
    // Copies min(capacity, ByteCount()) bytes from byte 0; returns how many.
    LONG CopyBytes(BYTE* buffer, LONG capacity) const;
    // All the bytes, as they are now.
    std::vector<BYTE> CopyBytes() const;
    // Holds both packets' locks (in a fixed order, see PairLock).
    bool SameBytes(const RawPacket& other) const;
    // Checksum of bytes 0 to 6; the packet must hold at least 7 bytes.
    BYTE Checksum() const;
    // Copies the bytes and the transport facts (not ExpectedLength, which becomes the count),
    // holding both locks.
    void CopyFrom(const RawPacket& other);

    mutable CCriticalSectionEx Lock;
    DWORD PortNumber;        // mask of the port that received or last sent it (port 0 is 1)
    DWORD DestinationPorts;  // mask of the ports to send it on
    DWORD PacketTime;        // tick of byte 0's arrival, or of the last transmission's start
    DWORD LastByteTime;      // tick of the last byte received
    DWORD ExpectedLength;    // while receiving: the frame length; else the byte count

  private:
    std::vector<BYTE> bytes_;  // guarded by Lock
};
