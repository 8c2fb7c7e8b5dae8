#include "network/frame_assembler.h"

namespace {

bool OpensFrame(BYTE byte) {
    return byte == kLogicalPacket || byte == kPhysicalPacket || byte == kBlockPacket ||
           byte == kLongFrame;
}

}  // namespace

RawPacket* FrameAssembler::Receive(BYTE byte, DWORD now, std::span<const BYTE> behind) {
    RawPacket& slot = ring_[current_];
    const LONG count = slot.ByteCount();
    if (count == 0) {
        // Resynchronise: only the first byte of a frame kind opens a frame.
        if (OpensFrame(byte)) {
            slot.ExpectedLength = byte == kLongFrame ? 4 : 8;
            slot.AppendByte(byte);
            slot.PacketTime = slot.LastByteTime = now;
        }
        return nullptr;
    }
    // A frame cut short by a pause goes out as it is; this byte is lost.
    if (now - slot.LastByteTime > InterByteTimeout && !FinishedWithChecksum(byte, behind))
        return Finish();
    if (count == 1 && slot.ByteAt(0) == kLongFrame) slot.ExpectedLength = 4 * byte + 4;
    slot.LastByteTime = now;
    return slot.AppendByte(byte) ? Finish() : nullptr;
}

RawPacket* FrameAssembler::Quiet(DWORD now) {
    const RawPacket& slot = ring_[current_];
    if (Whole(slot) && now - slot.LastByteTime > 2 * InterByteTimeout) return Finish();
    return nullptr;
}

std::optional<DWORD> FrameAssembler::QuietDeadline() const {
    const RawPacket& slot = ring_[current_];
    if (!Whole(slot)) return std::nullopt;
    return slot.LastByteTime + 2 * InterByteTimeout + 1;
}

RawPacket* FrameAssembler::Finish() {
    RawPacket& finished = ring_[current_];
    current_ = (current_ + 1) % kRingSize;
    ring_[current_].Clear();
    return &finished;
}

bool FrameAssembler::FinishedWithChecksum(BYTE byte, std::span<const BYTE> behind) const {
    const RawPacket& slot = ring_[current_];
    const LONG count = slot.ByteCount();
    if (slot.ExpectedLength != 8 || count < 1 || count > 7) return false;
    const std::size_t missing = 8 - static_cast<std::size_t>(count) - 1;
    if (behind.size() < missing) return false;
    unsigned sum = byte;
    for (LONG i = 0; i < count; ++i)
        sum += slot.ByteAt(i);
    for (std::size_t i = 0; i < missing; ++i)
        sum += behind[i];
    return (sum & 0xFF) == 0;
}

bool FrameAssembler::Whole(const RawPacket& slot) const {
    const LONG count = slot.ByteCount();
    return count > 0 && static_cast<DWORD>(count) == slot.ExpectedLength;
}
