// Cuts the byte stream of the bus into frames the way a receiver on the bus does: the first byte
// decides the length (0x1C, 0x5C, 0x6C: 8 bytes; 0xAC: 4 x second byte + 4), a pause longer
// than 60 ms ends whatever was open, and bytes that start no frame are collected as noise.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bus {

struct BusFrame {
    std::int64_t time_us = 0;  // start of the first byte on the bus
    std::string source;        // who sent the first byte; "noise" for stray bytes
    std::vector<std::uint8_t> bytes;
    bool complete = false;  // false for noise and for frames cut short by a pause
};

// True for the first bytes of the four frame kinds.
bool StartsFrame(std::uint8_t first);

class BusFramer {
  public:
    static constexpr std::int64_t kDefaultPauseUs = 60000;
    explicit BusFramer(std::int64_t pause_us = kDefaultPauseUs) : pause_us_(pause_us) {}

    // One byte that occupied the bus from start_us to end_us; frames it ends go to `out`.
    void Add(std::uint8_t byte, std::int64_t start_us, std::int64_t end_us,
             const std::string& source, std::vector<BusFrame>& out);
    // Ends the open frame when the bus has been quiet for longer than the pause at now_us.
    void Expire(std::int64_t now_us, std::vector<BusFrame>& out);
    // Ends the open frame regardless of time.
    void Finish(std::vector<BusFrame>& out);
    // When the open frame would be ended by Expire; none when nothing is open.
    std::optional<std::int64_t> Deadline() const;

  private:
    void Emit(std::vector<BusFrame>& out);

    std::int64_t pause_us_;
    BusFrame open_;
    bool is_open_ = false;
    std::size_t expected_ = 0;  // 0 while collecting noise
    std::int64_t last_end_us_ = 0;
};

// "TIME SOURCE HEX..." as the trace shows a frame.
std::string FormatFrame(const BusFrame& frame);

}  // namespace bus
