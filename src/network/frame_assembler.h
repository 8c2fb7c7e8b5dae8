// Frames the byte stream of a bus line, as the port's receiver sees it: each byte with the tick
// at which it arrived, and the ticks at which the line was found quiet.
//
// A frame opens on the first byte of a frame kind (other bytes outside a frame are noise) and
// ends when it holds its length: 8 bytes, or 4 + 4 x N for a long frame whose second byte is N.
// A pause longer than InterByteTimeout cuts a frame short: it is finished as it is when the next
// byte arrives, and that byte is lost. Checksums are not checked here, with one exception: a
// pause that the bytes already waiting behind the next one contradict (they finish an 8-byte
// frame whose checksum is right) was the receiver's, held up on a busy machine, not the line's.
//
// Frames are assembled in a ring of slots that are cleared and reused, so a finished frame stays
// intact while the next kRingSize - 2 frames are finished; no frame is copied here.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>

#include "network/raw_packet.h"
#include "platform/types.h"

class FrameAssembler {
  public:
    static constexpr std::size_t kRingSize = 10;

    // A byte that arrived at tick `now`, with the bytes already read behind it. Returns the
    // frame it finished, or the frame that the pause before it cut short (the byte is then
    // lost); null otherwise.
    RawPacket* Receive(BYTE byte, DWORD now, std::span<const BYTE> behind = {});
    // The line was quiet at tick `now`: a frame that holds all its bytes is finished once it has
    // been quiet for twice the inter-byte time-out. Returns that frame, or null.
    RawPacket* Quiet(DWORD now);
    // When Quiet would next finish a frame if nothing arrives meanwhile, if ever.
    std::optional<DWORD> QuietDeadline() const;

    // The frame being received (empty between frames).
    const RawPacket& Current() const { return ring_[current_]; }

    DWORD InterByteTimeout = 60;

  private:
    // Makes the next slot current (cleared) and returns the finished one.
    RawPacket* Finish();
    bool Whole(const RawPacket& slot) const;
    // Whether `byte` and the first of `behind` finish the current 8-byte frame with a checksum
    // that makes the sum of its bytes 0 (mod 256).
    bool FinishedWithChecksum(BYTE byte, std::span<const BYTE> behind) const;

    std::array<RawPacket, kRingSize> ring_;
    std::size_t current_ = 0;
};
