// The receiver's framing rules without a device: bytes and quiet checks at given ticks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/frame_assembler.h"

namespace {

using Bytes = std::vector<BYTE>;

// A byte arriving at a tick, or (quiet) the line found silent at that tick.
struct Event {
    DWORD at;
    int byte;  // -1: quiet
};

// Bytes that arrive 1 ms apart from `start`.
std::vector<Event> Burst(DWORD start, const Bytes& bytes) {
    std::vector<Event> events;
    for (BYTE b : bytes)
        events.push_back({start++, b});
    return events;
}

std::vector<Event> Join(std::vector<std::vector<Event>> parts) {
    std::vector<Event> all;
    for (auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<Bytes> Frames(const std::vector<Event>& events) {
    FrameAssembler assembler;
    std::vector<Bytes> frames;
    for (const Event& e : events) {
        RawPacket* frame =
            e.byte < 0 ? assembler.Quiet(e.at) : assembler.Receive(static_cast<BYTE>(e.byte), e.at);
        if (frame) frames.push_back(frame->CopyBytes());
    }
    return frames;
}

const Bytes kLogical = {0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF, 0x99};
const Bytes kPhysical = {0x5C, 0x01, 0x02, 0x00, 0x12, 0x34, 0x00, 0x5B};

struct Case {
    std::string name;
    std::vector<Event> events;
    std::vector<Bytes> frames;
};

TEST(FrameAssembler, FramesByKindLengthAndPauses) {
    const Bytes long_frame = {0xAC, 0x02, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const std::vector<Case> cases = {
        {"noise before a frame is dropped", Burst(100, {0x00, 0x13, 0xFF, 0x99}), {}},
        {"noise, then a whole frame",
         Join({Burst(100, {0x00, 0xFF}), Burst(200, kLogical)}),
         {kLogical}},
        {"a long frame ends after 4 + 4 x N bytes, back to back with the next",
         Join({Burst(0, long_frame), Burst(12, kPhysical)}),
         {long_frame, kPhysical}},
        {"a pause of more than 60 ms cuts a frame; the byte after it is lost",
         Join({Burst(0, {0x1C, 0x05, 0x00}), Burst(63, {0x5C}), Burst(70, kPhysical)}),
         {{0x1C, 0x05, 0x00}, kPhysical}},
        {"a pause of exactly 60 ms does not",
         Join({Burst(0, {0x1C, 0x05}), Burst(61, {1, 2, 3, 4, 5, 6})}),
         {{0x1C, 0x05, 1, 2, 3, 4, 5, 6}}},
        {"quiet never ends a frame that lacks bytes",
         Join({Burst(0, {0x1C, 0x05}), {{500, -1}, {5000, -1}}}),
         {}},
        {"ticks compare across the wrap of the counter",
         Join({Burst(0xFFFFFFE0, {0x6C}), Burst(0x1C, {0x01}), Burst(0x59, {0x02})}),
         {{0x6C, 0x01}}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Frames(c.events), c.frames) << c.name;
}

TEST(FrameAssembler, APauseThatTheBytesBehindContradictWasTheReceiversOwn) {
    // Three bytes read in time, then the receiver held up for 100 ms: the next byte and those
    // read with it. Only bytes that finish the frame with its checksum right overrule the pause.
    Bytes wrong_sum = kLogical;
    wrong_sum[7] ^= 1;
    const struct {
        const char* what;
        Bytes frame;
        std::size_t behind;  // bytes read with the fourth
        bool whole;
    } cases[] = {
        {"the rest of the frame, checksum right", kLogical, 4, true},
        {"the rest of the frame, checksum wrong", wrong_sum, 4, false},
        {"too few bytes to tell", kLogical, 3, false},
    };
    for (const auto& c : cases) {
        FrameAssembler assembler;
        for (DWORD i = 0; i < 3; ++i)
            ASSERT_EQ(assembler.Receive(c.frame[i], i), nullptr) << c.what;
        const std::span<const BYTE> behind(c.frame.data() + 4, c.behind);
        RawPacket* frame = assembler.Receive(c.frame[3], 100, behind);
        for (std::size_t i = 0; !frame && i < behind.size(); ++i)
            frame = assembler.Receive(behind[i], 100, behind.subspan(i + 1));
        ASSERT_NE(frame, nullptr) << c.what;
        EXPECT_EQ(frame->CopyBytes(),
                  c.whole ? c.frame : Bytes(c.frame.begin(), c.frame.begin() + 3))
            << c.what;
    }
}

TEST(FrameAssembler, AFinishedFrameStaysIntactWhileTheRingComesRound) {
    FrameAssembler assembler;
    DWORD now = 0;
    auto send = [&](BYTE opcode) {
        RawPacket* done = nullptr;
        for (BYTE b : Bytes{0x1C, 0x01, 0x00, opcode, 0x00, 0x00, 0xFF, 0x00})
            if (RawPacket* frame = assembler.Receive(b, now++)) done = frame;
        return done;
    };
    const RawPacket* first = send(0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->PacketTime, 0u);
    EXPECT_EQ(first->LastByteTime, 7u);
    for (BYTE i = 1; i <= FrameAssembler::kRingSize - 2; ++i)
        ASSERT_NE(send(i), first);
    EXPECT_EQ(first->ByteCount(), 8);
    EXPECT_EQ(first->ByteAt(3), 0);
    send(0x77);  // the ring comes round: the first slot is reused
    EXPECT_EQ(first->ByteCount(), 0);
}

}  // namespace
