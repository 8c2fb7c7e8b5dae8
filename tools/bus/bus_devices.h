// The simulated devices on the bus: dimmers that keep channel levels and answer requests, and
// keypads whose buttons are pressed from the command line.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace bus {

using Bytes = std::vector<std::uint8_t>;

// Appends the checksum to 7 bytes: the two's complement of their 8-bit sum.
Bytes WithChecksum(Bytes seven);

class Device {
  public:
    virtual ~Device() = default;
    const std::string& Name() const { return name_; }
    int Box() const { return box_; }
    // Frames the device wants to put on the bus, oldest first.
    std::deque<Bytes>& Outbox() { return outbox_; }
    // What the device did since last asked ("dimmer1 preset 5"), for the bus's output.
    std::deque<std::string>& Notes() { return notes_; }

    // Called once when the bus starts.
    virtual void Start() {}
    // Every complete frame another source put on the bus.
    virtual void OnFrame(const Bytes& frame) = 0;
    // "press BOX BUTTON"; false when this device has no buttons.
    virtual bool Press(int /*button*/) { return false; }

  protected:
    Device(std::string name, int box) : name_(std::move(name)), box_(box) {}
    void Say(Bytes seven) { outbox_.push_back(WithChecksum(std::move(seven))); }
    void Note(const std::string& text) { notes_.push_back(name_ + " " + text); }

  private:
    std::string name_;
    int box_;
    std::deque<Bytes> outbox_;
    std::deque<std::string> notes_;
};

// Device codes the simulated devices answer to in physical packets.
inline constexpr std::uint8_t kDimmerDeviceCode = 0x01;
inline constexpr std::uint8_t kKeypadDeviceCode = 0x02;

// Applies the presets and levels that anyone sends to its area and joins (or to its box), notes
// every change, and answers preset and level requests.
class Dimmer : public Device {
  public:
    // `joins`: the joins of its area it belongs to; a logical frame reaches it when its join
    // shares a bit with them.
    Dimmer(int area, int box, int channels, int joins = 0xFF);
    void Start() override;
    void OnFrame(const Bytes& frame) override;

    int Level(int channel) const { return levels_.at(channel - 1); }
    int Preset() const { return preset_; }

    // The level a preset gives every channel: 1 full, 2 three quarters, 3 half, 4 a quarter,
    // every other preset off.
    static int PresetLevel(int preset);

  private:
    void SetLevel(int channel, int level);

    int area_;
    int joins_;
    int preset_ = 1;
    std::vector<int> levels_;
};

class Keypad : public Device {
  public:
    explicit Keypad(int box);
    void OnFrame(const Bytes&) override {}
    // A press and its release.
    bool Press(int button) override;
};

// Parses "dimmer:area=A,box=B,channels=N[,join=J]" or "keypad:box=B"; null with `error` set
// otherwise.
std::unique_ptr<Device> ParseDevice(const std::string& spec, std::string& error);

}  // namespace bus
