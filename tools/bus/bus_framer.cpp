#include "bus_framer.h"

#include <cstdio>

namespace bus {

bool StartsFrame(std::uint8_t first) {
    return first == 0x1C || first == 0x5C || first == 0x6C || first == 0xAC;
}

void BusFramer::Add(std::uint8_t byte, std::int64_t start_us, std::int64_t end_us,
                    const std::string& source, std::vector<BusFrame>& out) {
    if (is_open_ && start_us - last_end_us_ > pause_us_) Emit(out);
    // A start byte ends a run of noise: noise never swallows the beginning of a frame.
    if (is_open_ && expected_ == 0 && StartsFrame(byte)) Emit(out);
    last_end_us_ = end_us;
    if (!is_open_) {
        is_open_ = true;
        open_ = BusFrame{start_us, StartsFrame(byte) ? source : "noise", {}, false};
        expected_ = StartsFrame(byte) ? (byte == 0xAC ? 4 : 8) : 0;
    }
    open_.bytes.push_back(byte);
    if (expected_ == 0) return;
    if (open_.bytes.size() == 2 && open_.bytes[0] == 0xAC) expected_ = 4 * std::size_t{byte} + 4;
    if (open_.bytes.size() >= expected_) {
        open_.complete = true;
        Emit(out);
    }
}

void BusFramer::Expire(std::int64_t now_us, std::vector<BusFrame>& out) {
    if (is_open_ && now_us - last_end_us_ > pause_us_) Emit(out);
}

void BusFramer::Finish(std::vector<BusFrame>& out) {
    if (is_open_) Emit(out);
}

std::optional<std::int64_t> BusFramer::Deadline() const {
    if (!is_open_) return std::nullopt;
    return last_end_us_ + pause_us_ + 1;
}

void BusFramer::Emit(std::vector<BusFrame>& out) {
    out.push_back(std::move(open_));
    open_ = BusFrame{};
    is_open_ = false;
    expected_ = 0;
}

std::string FormatFrame(const BusFrame& frame) {
    std::string line = std::to_string(frame.time_us) + " " + frame.source;
    char hex[4];
    for (std::uint8_t b : frame.bytes) {
        std::snprintf(hex, sizeof hex, " %02X", b);
        line += hex;
    }
    return line;
}

}  // namespace bus
