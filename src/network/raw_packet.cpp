#include "network/raw_packet.h"

#include <algorithm>
#include <functional>

namespace {

// Holds the locks of two packets. They are taken in address order rather than "this one
// first", so that a.SameBytes(b) on one thread and b.CopyFrom(a) on another cannot deadlock.
class PairLock {
  public:
    PairLock(CLockable& a, CLockable& b)
        : first_(std::less<>()(&a, &b) ? a : b), second_(std::less<>()(&a, &b) ? b : a) {}

  private:
    CScopedLock first_;
    CScopedLock second_;
};

}  // namespace

RawPacket::RawPacket() {
    Clear();
}

RawPacket::~RawPacket() = default;

void RawPacket::Clear() {
    CScopedLock lock(Lock);
    bytes_.clear();
    PortNumber = 0xFFFFFFFF;
    DestinationPorts = 3;
    PacketTime = 0;
    LastByteTime = 0;
    ExpectedLength = 0;
}

void RawPacket::AssignBytes(const BYTE* bytes, std::size_t length) {
    CScopedLock lock(Lock);
    bytes_.assign(bytes, bytes + length);
    ExpectedLength = static_cast<DWORD>(length);
}

bool RawPacket::AppendByte(BYTE value) {
    CScopedLock lock(Lock);
    bytes_.push_back(value);
    return bytes_.size() >= ExpectedLength;
}

LONG RawPacket::ByteCount() const {
    CScopedLock lock(Lock);
    return static_cast<LONG>(bytes_.size());
}

BYTE RawPacket::ByteAt(LONG index) const {
    CScopedLock lock(Lock);
    return bytes_[static_cast<std::size_t>(index)];
}

void RawPacket::SetByteAt(LONG index, BYTE value) {
    CScopedLock lock(Lock);
    bytes_[static_cast<std::size_t>(index)] = value;
}

void RawPacket::Resize(LONG count, BYTE fill) {
    CScopedLock lock(Lock);
    bytes_.resize(static_cast<std::size_t>(std::max<LONG>(count, 0)), fill);
}

void RawPacket::RemoveAt(LONG index) {
    CScopedLock lock(Lock);
    bytes_.erase(bytes_.begin() + index);
}

std::vector<BYTE> RawPacket::CopyBytes() const {
    CScopedLock lock(Lock);
    return bytes_;
}

LONG RawPacket::CopyBytes(BYTE* buffer, LONG capacity) const {
    CScopedLock lock(Lock);
    const LONG count = std::min(capacity, static_cast<LONG>(bytes_.size()));
    if (count <= 0) return 0;
    std::copy_n(bytes_.begin(), count, buffer);
    return count;
}

bool RawPacket::SameBytes(const RawPacket& other) const {
    PairLock lock(Lock, other.Lock);
    return bytes_ == other.bytes_;
}

BYTE RawPacket::Checksum() const {
    CScopedLock lock(Lock);
    return PacketChecksum(bytes_.data());
}

void RawPacket::CopyFrom(const RawPacket& other) {
    PairLock lock(Lock, other.Lock);
    bytes_ = other.bytes_;
    PacketTime = other.PacketTime;
    LastByteTime = other.LastByteTime;
    PortNumber = other.PortNumber;
    DestinationPorts = other.DestinationPorts;
    ExpectedLength = static_cast<DWORD>(bytes_.size());
}
