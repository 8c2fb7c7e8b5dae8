#include "bus_devices.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace bus {

Bytes WithChecksum(Bytes seven) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < 7 && i < seven.size(); ++i)
        sum += seven[i];
    seven.resize(7);
    seven.push_back(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
    return seven;
}

namespace {

constexpr std::uint8_t kLogical = 0x1C;
constexpr std::uint8_t kPhysical = 0x5C;

std::uint8_t U8(int value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}

}  // namespace

Dimmer::Dimmer(int area, int box, int channels, int joins)
    : Device("dimmer" + std::to_string(box), box),
      area_(area),
      joins_(joins),
      levels_(channels, 0) {}

int Dimmer::PresetLevel(int preset) {
    switch (preset) {
        case 1:
            return 255;
        case 2:
            return 191;
        case 3:
            return 127;
        case 4:
            return 63;
        default:
            return 0;
    }
}

void Dimmer::Start() {
    // Sign-on with firmware version 12.34.
    Say({kPhysical, kDimmerDeviceCode, U8(Box()), 0x00, 0x12, 0x34, 0x00});
}

void Dimmer::SetLevel(int channel, int level) {
    if (channel < 1 || channel > static_cast<int>(levels_.size())) return;
    level = std::clamp(level, 0, 255);
    if (levels_[channel - 1] == level) return;
    levels_[channel - 1] = level;
    Note("channel " + std::to_string(channel) + " level " + std::to_string(level));
}

void Dimmer::OnFrame(const Bytes& f) {
    if (f.size() < 8) return;
    const int op = f[3];
    if (f[0] == kLogical && f[1] == area_ && (f[6] & joins_) != 0) {
        const int join = f[6];
        if (op <= 0x03 || (op >= 0x0A && op <= 0x0D)) {
            preset_ = (op <= 0x03 ? op + 1 : op - 5) + 8 * f[5];
            Note("preset " + std::to_string(preset_));
            for (std::size_t c = 1; c <= levels_.size(); ++c)
                SetLevel(static_cast<int>(c), PresetLevel(preset_));
        } else if (op == 0x79) {
            for (std::size_t c = 1; c <= levels_.size(); ++c)
                SetLevel(static_cast<int>(c), 255 - f[2]);
        } else if (op >= 0x80 && op <= 0x83) {
            const int channel = (op - 0x80) + 1 + (f[4] == 255 ? 0 : 4 * f[4] + 4);
            SetLevel(channel, 255 - f[2]);
        } else if (op == 0x68 || op == 0x74) {
            SetLevel(f[2] + 1, 0);
        } else if (op == 0x69 || op == 0x75) {
            SetLevel(f[2] + 1, 255);
        } else if (op == 0x61) {
            const int channel = f[2] + 1;
            if (channel > static_cast<int>(levels_.size())) return;
            const int level = levels_[channel - 1];
            Say({kLogical, U8(area_), f[2], 0x60, U8(255 - level), U8(255 - level), U8(join)});
        } else if (op == 0x63) {
            const int index = preset_ - 1;
            Say({kLogical, U8(area_), U8(index & 7), 0x62, 0, U8(index & ~7), U8(join)});
        }
    } else if (f[0] == kPhysical && f[1] == kDimmerDeviceCode && f[2] == Box()) {
        if (op == 0x92) {
            SetLevel(f[4], f[5]);
        } else if (op == 0x91 && f[4] >= 1 && f[4] <= levels_.size()) {
            Say({kPhysical, kDimmerDeviceCode, U8(Box()), 0x90, f[4], 0, U8(levels_[f[4] - 1])});
        }
    }
}

Keypad::Keypad(int box) : Device("keypad" + std::to_string(box), box) {}

bool Keypad::Press(int button) {
    Say({kPhysical, kKeypadDeviceCode, U8(Box()), 0x43, U8(button), 0, 1});
    Say({kPhysical, kKeypadDeviceCode, U8(Box()), 0x43, U8(button), 0, 0});
    return true;
}

std::unique_ptr<Device> ParseDevice(const std::string& spec, std::string& error) {
    const auto colon = spec.find(':');
    const std::string kind = spec.substr(0, colon);
    std::map<std::string, int> values;
    if (colon != std::string::npos) {
        std::size_t pos = colon + 1;
        while (pos <= spec.size()) {
            const auto comma = std::min(spec.find(',', pos), spec.size());
            const std::string item = spec.substr(pos, comma - pos);
            const auto eq = item.find('=');
            if (eq == std::string::npos) {
                error = "expected NAME=VALUE in \"" + item + "\"";
                return nullptr;
            }
            try {
                std::size_t used = 0;
                const std::string text = item.substr(eq + 1);
                const int value = std::stoi(text, &used, 0);
                if (used != text.size() || value < 0 || value > 255) throw std::out_of_range("");
                values[item.substr(0, eq)] = value;
            } catch (const std::exception&) {
                error = "\"" + item + "\" needs a value from 0 to 255";
                return nullptr;
            }
            pos = comma + 1;
        }
    }
    auto need = [&](const char* key, int& out) {
        auto it = values.find(key);
        if (it == values.end()) {
            error = kind + " needs " + key + "=";
            return false;
        }
        out = it->second;
        values.erase(it);
        return true;
    };
    std::unique_ptr<Device> device;
    int area = 0, box = 0, channels = 0, joins = 0xFF;
    if (kind == "dimmer") {
        if (!need("area", area) || !need("box", box) || !need("channels", channels)) return nullptr;
        if (channels < 1) {
            error = "a dimmer needs at least one channel";
            return nullptr;
        }
        if (values.count("join") && (!need("join", joins) || joins == 0)) {
            error = "a dimmer's join needs at least one bit";
            return nullptr;
        }
        device = std::make_unique<Dimmer>(area, box, channels, joins);
    } else if (kind == "keypad") {
        if (!need("box", box)) return nullptr;
        device = std::make_unique<Keypad>(box);
    } else {
        error = "unknown device kind \"" + kind + "\" (dimmer or keypad)";
        return nullptr;
    }
    if (!values.empty()) {
        error = "unknown setting \"" + values.begin()->first + "\" for " + kind;
        return nullptr;
    }
    return device;
}

}  // namespace bus
