// The serial port's frame assembler, fed arbitrary bytes at arbitrary times.
//
// Input: the start tick (four bytes, so that the 32-bit tick counter may wrap during a run), then
// pairs (byte, step): step & 0x7F milliseconds pass, then `byte` arrives when bit 7 of step is
// clear, else the line is found quiet. Bytes that arrive at the tick of the one before them were
// read with it: the assembler sees them behind it, as the port's one read of what waits gives.
//
// Every finished frame must be what a plain restatement of the framing rules gives (bytes and
// times), start with a frame kind's first byte, hold at most its full length (fewer bytes only
// when a pause cut it short) and stay intact until the ring of slots comes round again; the
// frame being received never outgrows the longest frame.
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "fuzz_input.h"
#include "network/frame_assembler.h"
#include "platform/clock.h"

namespace {

using Bytes = std::vector<BYTE>;

constexpr std::size_t kLongestFrame = 4 + 4 * 255;

bool OpensFrame(BYTE b) {
    return b == 0x1C || b == 0x5C || b == 0x6C || b == 0xAC;
}

// The length a frame has when whole, as far as its bytes tell.
std::size_t FullLength(const Bytes& frame) {
    if (frame[0] != 0xAC) return 8;
    return frame.size() < 2 ? 4 : 4 + 4 * std::size_t{frame[1]};
}

struct Frame {
    Bytes bytes;
    DWORD first = 0;
    DWORD last = 0;
};

// The rules again, written plainly from the other side: a frame is done when it is whole, or
// when the next byte comes after too long a pause (that byte is then lost).
class ReferenceFramer {
  public:
    explicit ReferenceFramer(DWORD timeout) : timeout_(timeout) {}

    std::optional<Frame> Receive(BYTE b, DWORD now, const Bytes& behind) {
        if (open_.bytes.empty()) {
            if (OpensFrame(b)) open_ = {{b}, now, now};
            return std::nullopt;
        }
        if (TickDiff(now, open_.last) > static_cast<std::int32_t>(timeout_) &&
            !ChecksumOverrulesPause(b, behind))
            return Take();
        open_.bytes.push_back(b);
        open_.last = now;
        if (open_.bytes.size() >= FullLength(open_.bytes)) return Take();
        return std::nullopt;
    }
    std::optional<Frame> Quiet(DWORD now) {
        if (!open_.bytes.empty() && open_.bytes.size() == FullLength(open_.bytes) &&
            TickDiff(now, open_.last) > static_cast<std::int32_t>(2 * timeout_))
            return Take();
        return std::nullopt;
    }

  private:
    // An 8-byte frame that this byte and those behind it finish with its bytes summing to 0.
    bool ChecksumOverrulesPause(BYTE b, const Bytes& behind) const {
        if (FullLength(open_.bytes) != 8) return false;
        Bytes whole = open_.bytes;
        whole.push_back(b);
        for (std::size_t i = 0; whole.size() < 8 && i < behind.size(); ++i)
            whole.push_back(behind[i]);
        unsigned sum = 0;
        for (BYTE x : whole)
            sum += x;
        return whole.size() == 8 && (sum & 0xFF) == 0;
    }

    Frame Take() {
        Frame done = std::move(open_);
        open_ = {};
        return done;
    }

    DWORD timeout_;
    Frame open_;
};

Bytes BytesOf(const RawPacket& packet) {
    Bytes bytes(static_cast<std::size_t>(packet.ByteCount()));
    packet.CopyBytes(bytes.data(), static_cast<LONG>(bytes.size()));
    return bytes;
}

// A finished frame as the assembler handed it out, and what it held then.
struct Handed {
    const RawPacket* slot;
    Bytes bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    FrameAssembler assembler;
    ReferenceFramer reference(assembler.InterByteTimeout);
    DWORD now = input.Integral<DWORD>();
    std::deque<Handed> handed;  // the frames that must still be intact

    struct Event {
        BYTE byte, step;
    };
    std::vector<Event> events;
    while (input.remaining() >= 2) {
        const BYTE byte = input.Integral<BYTE>();
        events.push_back({byte, input.Integral<BYTE>()});
    }
    for (std::size_t e = 0; e < events.size(); ++e) {
        const BYTE byte = events[e].byte;
        const BYTE step = events[e].step;
        now += step & 0x7F;
        const bool arrives = (step & 0x80) == 0;
        const DWORD previous_last = assembler.Current().LastByteTime;
        Bytes behind;
        for (std::size_t next = e + 1; next < events.size() && events[next].step == 0; ++next)
            behind.push_back(events[next].byte);

        RawPacket* frame = arrives ? assembler.Receive(byte, now, behind) : assembler.Quiet(now);
        const std::optional<Frame> expected =
            arrives ? reference.Receive(byte, now, behind) : reference.Quiet(now);

        FUZZ_CHECK((frame != nullptr) == expected.has_value());
        if (frame) {
            const Bytes bytes = BytesOf(*frame);
            FUZZ_CHECK(bytes == expected->bytes);
            FUZZ_CHECK(frame->PacketTime == expected->first);
            FUZZ_CHECK(frame->LastByteTime == expected->last);
            FUZZ_CHECK(!bytes.empty() && OpensFrame(bytes[0]));
            FUZZ_CHECK(bytes.size() <= FullLength(bytes));
            FUZZ_CHECK(FullLength(bytes) <= kLongestFrame);
            // Short only when a pause cut it, which only a byte after the pause reveals.
            if (bytes.size() < FullLength(bytes))
                FUZZ_CHECK(arrives && TickDiff(now, previous_last) >
                                          static_cast<std::int32_t>(assembler.InterByteTimeout));
            FUZZ_CHECK(TickDiff(frame->LastByteTime, frame->PacketTime) >= 0);
            FUZZ_CHECK(frame != &assembler.Current());
            // Kept while kRingSize - 2 newer frames are finished, as the ring promises.
            handed.push_back({frame, bytes});
            if (handed.size() > FrameAssembler::kRingSize - 1) handed.pop_front();
        }
        for (const Handed& h : handed)
            FUZZ_CHECK(BytesOf(*h.slot) == h.bytes);

        const RawPacket& current = assembler.Current();
        FUZZ_CHECK(static_cast<std::size_t>(current.ByteCount()) <= kLongestFrame);
        if (current.ByteCount() > 0) {
            const Bytes open = BytesOf(current);
            FUZZ_CHECK(OpensFrame(open[0]) && open.size() < FullLength(open));
        }
    }
    return 0;
}
