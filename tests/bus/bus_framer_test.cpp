// The bus's framing and its simulated devices, without pseudo-terminals.
#include <gtest/gtest.h>

#include "bus_devices.h"
#include "bus_framer.h"

namespace {

using bus::BusFrame;
using bus::BusFramer;
using bus::Bytes;

constexpr std::int64_t kByteUs = 1042;

// Feeds bytes back to back from `start`, returning where the last one ended.
std::int64_t Feed(BusFramer& framer, const Bytes& bytes, std::int64_t start,
                  std::vector<BusFrame>& out, const std::string& source = "a") {
    for (std::uint8_t b : bytes) {
        framer.Add(b, start, start + kByteUs, source, out);
        start += kByteUs;
    }
    return start;
}

// The frames as the trace shows them, one a line, an incomplete one marked "?".
std::string Shown(const std::vector<BusFrame>& frames) {
    std::string text;
    for (const BusFrame& frame : frames)
        text += bus::FormatFrame(frame) + (frame.complete ? "\n" : " ?\n");
    return text;
}

TEST(BusFramerTest, FramesByFirstByteLongFramesBySecondAndStrayBytesAreNoise) {
    BusFramer framer;
    std::vector<BusFrame> out;
    std::int64_t t = Feed(framer, {0x1C, 1, 2, 3, 4, 5, 6, 7}, 0, out);
    t = Feed(framer, {0xAC, 2, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, t, out, "b");
    Feed(framer, {0x6C, 0, 0, 0, 0, 0, 0, 0x94}, t, out);
    EXPECT_EQ(Shown(out),
              "0 a 1C 01 02 03 04 05 06 07\n8336 b AC 02 01 02 03 04 05 06 07 08 09 0A\n"
              "20840 a 6C 00 00 00 00 00 00 94\n");
    EXPECT_FALSE(framer.Deadline());

    out.clear();
    Feed(framer, {0x00, 0xFF, 0x5C, 1, 2, 3, 4, 5, 6, 7}, t + 9 * kByteUs, out);
    EXPECT_EQ(Shown(out), "30218 noise 00 FF ?\n32302 a 5C 01 02 03 04 05 06 07\n");
}

TEST(BusFramerTest, APauseOfMoreThanSixtyMillisecondsEndsAFrame) {
    BusFramer framer;
    std::vector<BusFrame> out;
    const std::int64_t end = Feed(framer, {0x1C, 1, 2}, 0, out);
    // Exactly 60 ms of quiet does not end it; a byte then still belongs to the frame.
    framer.Expire(end + 60000, out);
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(framer.Deadline());
    EXPECT_GT(*framer.Deadline(), end + 60000);
    std::int64_t t = Feed(framer, {3}, end + 60000, out);
    EXPECT_TRUE(out.empty());
    Feed(framer, {0x1C}, t + 60001, out);
    framer.Finish(out);
    EXPECT_EQ(Shown(out), "0 a 1C 01 02 03 ?\n" + std::to_string(t + 60001) + " a 1C ?\n");
}

TEST(BusDevicesTest, DimmerAppliesPresetsAndLevelsAndAnswersRequests) {
    std::string error;
    auto device = bus::ParseDevice("dimmer:area=3,box=9,channels=4", error);
    ASSERT_TRUE(device) << error;
    auto& dimmer = static_cast<bus::Dimmer&>(*device);
    dimmer.Start();
    ASSERT_EQ(dimmer.Outbox().size(), 1u);  // sign-on
    EXPECT_EQ(dimmer.Outbox().front(), bus::WithChecksum({0x5C, 0x01, 9, 0x00, 0x12, 0x34, 0}));
    dimmer.Outbox().clear();

    dimmer.OnFrame(bus::WithChecksum({0x1C, 3, 0, 0x0B, 0, 0, 0xFF}));  // preset 6
    EXPECT_EQ(dimmer.Preset(), 6);
    dimmer.OnFrame(bus::WithChecksum({0x1C, 3, 0, 0x01, 0, 0, 0xFF}));  // preset 2
    EXPECT_EQ(dimmer.Level(4), 191);
    dimmer.OnFrame(bus::WithChecksum({0x1C, 4, 0, 0x00, 0, 0, 0xFF}));  // another area
    EXPECT_EQ(dimmer.Preset(), 2);
    dimmer.OnFrame(bus::WithChecksum({0x1C, 3, 255 - 100, 0x82, 255, 0, 0xFF}));  // channel 3
    EXPECT_EQ(dimmer.Level(3), 100);
    EXPECT_EQ(dimmer.Level(2), 191);

    dimmer.OnFrame(bus::WithChecksum({0x1C, 3, 2, 0x61, 0, 0, 0xFF}));
    dimmer.OnFrame(bus::WithChecksum({0x1C, 3, 0, 0x63, 0, 0, 0xFF}));
    ASSERT_EQ(dimmer.Outbox().size(), 2u);
    EXPECT_EQ(dimmer.Outbox()[0], bus::WithChecksum({0x1C, 3, 2, 0x60, 155, 155, 0xFF}));
    EXPECT_EQ(dimmer.Outbox()[1], bus::WithChecksum({0x1C, 3, 1, 0x62, 0, 0, 0xFF}));
    dimmer.OnFrame(bus::WithChecksum({0x1C, 3, 9, 0x61, 0, 0, 0xFF}));  // no channel 10
    EXPECT_EQ(dimmer.Outbox().size(), 2u);
    std::string notes;
    for (const std::string& note : dimmer.Notes())
        notes += note + "; ";
    EXPECT_EQ(notes,
              "dimmer9 preset 6; dimmer9 preset 2; dimmer9 channel 1 level 191; dimmer9 channel 2 "
              "level 191; dimmer9 channel 3 level 191; dimmer9 channel 4 level 191; dimmer9 "
              "channel 3 level 100; ");
}

TEST(BusDevicesTest, ADimmerWithAJoinHearsJoinsSharingABitKeypadsPressAndBadSpecsAreExplained) {
    std::string error;
    auto device = bus::ParseDevice("dimmer:area=5,box=2,channels=1,join=2", error);
    ASSERT_TRUE(device) << error;
    auto& dimmer = static_cast<bus::Dimmer&>(*device);
    const struct {
        std::uint8_t opcode;  // preset opcode + 1 is the preset
        std::uint8_t join;
        int preset;  // afterwards
    } cases[] = {
        {0x02, 0x01, 1}, {0x02, 0x02, 3}, {0x01, 0x0F, 2}, {0x00, 0xF0, 2}, {0x03, 0xFF, 4}};
    for (const auto& c : cases) {
        dimmer.OnFrame(bus::WithChecksum({0x1C, 5, 0, c.opcode, 0, 0, c.join}));
        EXPECT_EQ(dimmer.Preset(), c.preset) << "join " << int{c.join};
    }

    auto keypad = bus::ParseDevice("keypad:box=5", error);
    ASSERT_TRUE(keypad);
    EXPECT_TRUE(keypad->Press(3));
    ASSERT_EQ(keypad->Outbox().size(), 2u);
    EXPECT_EQ(keypad->Outbox()[0][6], 1);
    EXPECT_EQ(keypad->Outbox()[1][6], 0);
    EXPECT_FALSE(bus::ParseDevice("dimmer:area=5,box=2,channels=1,join=0", error));
    EXPECT_NE(error.find("join"), std::string::npos);
    EXPECT_FALSE(bus::ParseDevice("dimmer:area=1,box=2", error));
    EXPECT_NE(error.find("channels"), std::string::npos);
    EXPECT_FALSE(bus::ParseDevice("keypad:box=300", error));
    EXPECT_FALSE(bus::ParseDevice("keypad:box=1,colour=2", error));
    EXPECT_FALSE(bus::ParseDevice("fan:box=1", error));
}

}  // namespace
