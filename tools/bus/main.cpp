// brevanto-bus: a virtual half-duplex lighting bus. Every drop is a pseudo-terminal; a byte any
// drop (or simulated device, or the command line) puts on the bus reaches every drop, the
// writer included, paced at ten bit times per byte.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bus_devices.h"
#include "bus_framer.h"
#include "platform/version.h"

namespace fs = std::filesystem;
using bus::BusFrame;
using bus::Bytes;

namespace {

// Devices wait this long after the last byte on the bus before they start a frame.
constexpr std::int64_t kDeviceSilenceUs = 30000;
// "repeat" makes at most this many commands of one line.
constexpr long kMaxRepeat = 100000;

std::int64_t NowUs(clockid_t clock = CLOCK_MONOTONIC) {
    timespec ts;
    clock_gettime(clock, &ts);
    return std::int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

// Errors end the program through main, so that the links made so far are removed.
[[noreturn]] void Fail(const std::string& message) {
    throw std::runtime_error(message);
}

// Someone that puts bytes on the bus: a drop, a device or the command line.
struct Source {
    std::string name;
    struct Pending {
        std::uint8_t byte;
        std::int64_t ready_us;  // when the byte was written to us
    };
    std::deque<Pending> pending;
    bool waits_for_silence = false;  // devices do; drops and the command line talk at once
    bus::Device* device = nullptr;
};

struct Drop {
    std::string name;
    fs::path link;
    int master = -1;
    // Held open by the bus so that the line stays up (and keeps its settings) while the
    // program on the other side closes and reopens the device.
    int slave = -1;
    std::size_t source = 0;
};

class Bus {
  public:
    // The trace's times count from `trace_origin_us` (0: the bus's start).
    Bus(int baud, FILE* trace, std::int64_t trace_origin_us)
        : byte_us_(10'000'000 / baud), trace_(trace), trace_origin_us_(trace_origin_us) {}
    ~Bus() { RemoveLinks(); }

    void AddDrop(const std::string& name, const fs::path& dir);
    void AddDevice(std::unique_ptr<bus::Device> device);
    void RemoveLinks();
    int Run(int signal_fd);

  private:
    std::size_t AddSource(const std::string& name) {
        sources_.push_back(Source{name, {}, false, nullptr});
        return sources_.size() - 1;
    }
    void ReadDrop(Drop& drop, std::int64_t now);
    void Queue(std::size_t source, const Bytes& bytes, std::int64_t now);
    // Starts the next byte when the bus is free; returns false when nobody wants to talk.
    bool StartByte(std::int64_t now);
    void Deliver(std::int64_t now);
    void Frames(std::vector<BusFrame>& frames);
    bool Command(const std::string& line, std::int64_t now);
    std::optional<std::int64_t> NextWake(std::int64_t now) const;

    std::int64_t byte_us_;
    FILE* trace_;
    std::int64_t trace_origin_us_;
    std::int64_t start_us_ = NowUs();
    std::vector<Source> sources_;
    std::vector<Drop> drops_;
    std::vector<std::unique_ptr<bus::Device>> devices_;
    std::size_t console_ = AddSource("console");

    // The byte on the wire, delivered when its ten bit times are over.
    struct InFlight {
        std::uint8_t byte;
        std::size_t source;
        std::int64_t start_us, end_us;
    };
    std::optional<InFlight> in_flight_;
    std::optional<std::size_t> talker_;  // holds the bus until its bytes are out
    std::int64_t bus_free_us_ = 0;       // end of the last byte on the wire
    bus::BusFramer framer_;

    std::string stdin_buffer_;
    bool stdin_open_ = true;
    std::int64_t commands_resume_us_ = 0;  // "wait" holds further commands until then
    bool quit_ = false;
};

void Bus::AddDrop(const std::string& name, const fs::path& dir) {
    if (name.empty() || name.find('/') != std::string::npos) Fail("bad drop name \"" + name + "\"");
    for (const Drop& d : drops_)
        if (d.name == name) Fail("drop \"" + name + "\" given twice");
    Drop drop;
    drop.name = name;
    drop.link = dir / name;
    drop.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (drop.master < 0 || grantpt(drop.master) != 0 || unlockpt(drop.master) != 0)
        Fail("cannot create a pseudo-terminal: " + std::string(std::strerror(errno)));
    const char* slave_path = ptsname(drop.master);
    if (!slave_path) Fail("ptsname: " + std::string(std::strerror(errno)));
    drop.slave = open(slave_path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (drop.slave < 0) Fail(std::string(slave_path) + ": " + std::strerror(errno));
    termios tio{};
    if (tcgetattr(drop.slave, &tio) != 0) Fail("tcgetattr: " + std::string(std::strerror(errno)));
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(drop.slave, TCSANOW, &tio) != 0)
        Fail("tcsetattr: " + std::string(std::strerror(errno)));
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(drop.link, ec))) fs::remove(drop.link, ec);
    fs::create_symlink(slave_path, drop.link, ec);
    if (ec) Fail("cannot link " + drop.link.string() + ": " + ec.message());
    drop.source = AddSource(name);
    drops_.push_back(drop);
}

void Bus::AddDevice(std::unique_ptr<bus::Device> device) {
    for (const Source& s : sources_)
        if (s.name == device->Name()) Fail("two devices named \"" + device->Name() + "\"");
    const std::size_t index = AddSource(device->Name());
    sources_[index].waits_for_silence = true;
    sources_[index].device = device.get();
    devices_.push_back(std::move(device));
}

void Bus::RemoveLinks() {
    for (Drop& d : drops_) {
        std::error_code ec;
        if (fs::is_symlink(fs::symlink_status(d.link, ec))) fs::remove(d.link, ec);
        if (d.master >= 0) close(d.master);
        if (d.slave >= 0) close(d.slave);
        d.master = d.slave = -1;
    }
    drops_.clear();
}

void Bus::Queue(std::size_t source, const Bytes& bytes, std::int64_t now) {
    for (std::uint8_t b : bytes)
        sources_[source].pending.push_back({b, now});
}

void Bus::ReadDrop(Drop& drop, std::int64_t now) {
    std::uint8_t buffer[256];
    for (;;) {
        const ssize_t n = read(drop.master, buffer, sizeof buffer);
        if (n <= 0) return;  // EAGAIN, or EIO while nobody holds the slave open
        Queue(drop.source, Bytes(buffer, buffer + n), now);
    }
}

bool Bus::StartByte(std::int64_t now) {
    if (in_flight_) return true;
    if (talker_ && sources_[*talker_].pending.empty()) talker_.reset();
    const bool new_talk = !talker_;
    if (!talker_) {
        for (std::size_t i = 0; i < sources_.size() && !talker_; ++i) {
            const Source& s = sources_[i];
            if (s.pending.empty()) continue;
            if (s.waits_for_silence && now - bus_free_us_ < kDeviceSilenceUs) continue;
            talker_ = i;
        }
    }
    if (!talker_) return false;
    Source& s = sources_[*talker_];
    const auto next = s.pending.front();
    s.pending.pop_front();
    // A byte written while the line was busy follows the previous one back to back, never
    // earlier than the rules of the bus allow. A talk starts when this loop gets to it; once
    // started, its bytes go out back to back as a device's transmitter sends them, however late
    // this loop wakes (it then delivers the overdue bytes at once): a bus process held up on a
    // busy machine must not put a pause into a frame that no device would.
    const std::int64_t earliest =
        bus_free_us_ + (new_talk && s.waits_for_silence ? kDeviceSilenceUs : 0);
    const std::int64_t start = new_talk ? std::max({next.ready_us, earliest, now - byte_us_})
                                        : std::max(next.ready_us, earliest);
    in_flight_ = InFlight{next.byte, *talker_, start, start + byte_us_};
    return true;
}

void Bus::Deliver(std::int64_t now) {
    while (in_flight_ && in_flight_->end_us <= now) {
        const InFlight byte = *in_flight_;
        in_flight_.reset();
        bus_free_us_ = byte.end_us;
        if (talker_ == byte.source && sources_[byte.source].pending.empty()) talker_.reset();
        for (Drop& d : drops_) {
            // A drop whose input is full (nobody reading) loses the byte, as on a real line.
            [[maybe_unused]] ssize_t n = write(d.master, &byte.byte, 1);
        }
        std::vector<BusFrame> frames;
        framer_.Add(byte.byte, byte.start_us - start_us_, byte.end_us - start_us_,
                    sources_[byte.source].name, frames);
        Frames(frames);
        StartByte(now);
    }
}

void Bus::Frames(std::vector<BusFrame>& frames) {
    for (const BusFrame& f : frames) {
        if (trace_) {
            BusFrame stamped = f;
            stamped.time_us += trace_origin_us_;
            std::fprintf(trace_, "%s\n", bus::FormatFrame(stamped).c_str());
            std::fflush(trace_);
        }
        if (!f.complete) continue;
        for (auto& device : devices_)
            if (device->Name() != f.source) device->OnFrame(f.bytes);
    }
    bool noted = false;
    for (auto& device : devices_) {
        for (const std::string& note : device->Notes()) {
            std::printf("%s\n", note.c_str());
            noted = true;
        }
        device->Notes().clear();
    }
    if (noted) std::fflush(stdout);
    const std::int64_t now = NowUs();
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        if (!sources_[i].device) continue;
        auto& outbox = sources_[i].device->Outbox();
        // One frame at a time, so that a device's next frame waits for silence again.
        if (sources_[i].pending.empty() && talker_ != i && !outbox.empty()) {
            Queue(i, outbox.front(), now);
            outbox.pop_front();
        }
    }
    frames.clear();
}

bool ParseHex(std::istringstream& in, Bytes& out, std::string& error) {
    std::string word;
    while (in >> word) {
        char* end = nullptr;
        const unsigned long value = std::strtoul(word.c_str(), &end, 16);
        if (*end != '\0' || value > 0xFF || word.size() > 4) {
            error = "not a hex byte: \"" + word + "\"";
            return false;
        }
        out.push_back(static_cast<std::uint8_t>(value));
    }
    if (out.empty()) error = "no bytes given";
    return !out.empty();
}

bool Bus::Command(const std::string& line, std::int64_t now) {
    std::istringstream in(line);
    std::string verb;
    if (!(in >> verb) || verb[0] == '#') return true;
    std::string error;
    if (verb == "quit") {
        quit_ = true;
    } else if (verb == "repeat") {
        // "repeat N COMMAND": a storm of the same frame or press without N lines of input.
        long times = -1;
        std::string command;
        if (!(in >> times) || times < 1 || times > kMaxRepeat || !std::getline(in, command)) {
            error = "usage: repeat N COMMAND (N from 1 to " + std::to_string(kMaxRepeat) + ")";
        } else {
            for (long i = 0; i < times; ++i)
                Command(command, now);
        }
    } else if (verb == "send" || verb == "raw") {
        Bytes bytes;
        if (!ParseHex(in, bytes, error)) {
        } else if (verb == "send" && bytes.size() == 7) {
            Queue(console_, bus::WithChecksum(bytes), now);
        } else {
            Queue(console_, bytes, now);
        }
    } else if (verb == "press") {
        int box = -1, button = -1;
        if (!(in >> box >> button) || button < 0 || button > 255) {
            error = "usage: press BOX BUTTON";
        } else {
            bool found = false;
            for (auto& device : devices_)
                if (device->Box() == box && device->Press(button)) found = true;
            if (!found) error = "no keypad with box " + std::to_string(box);
        }
    } else if (verb == "wait") {
        long ms = -1;
        if (!(in >> ms) || ms < 0) {
            error = "usage: wait MS";
        } else {
            commands_resume_us_ = now + ms * 1000;
        }
    } else {
        error = "unknown command \"" + verb + "\" (send, raw, press, wait, repeat, quit)";
    }
    if (!error.empty()) std::fprintf(stderr, "brevanto-bus: %s\n", error.c_str());
    std::vector<BusFrame> none;
    Frames(none);  // let devices queue what a command asked of them
    return error.empty();
}

std::optional<std::int64_t> Bus::NextWake(std::int64_t now) const {
    std::optional<std::int64_t> wake;
    auto consider = [&](std::int64_t t) {
        if (!wake || t < *wake) wake = t;
    };
    if (in_flight_) consider(in_flight_->end_us);
    if (auto deadline = framer_.Deadline()) consider(*deadline + start_us_);
    for (const Source& s : sources_)
        if (!s.pending.empty() && s.waits_for_silence) consider(bus_free_us_ + kDeviceSilenceUs);
    if (commands_resume_us_ > now) consider(commands_resume_us_);
    return wake;
}

int Bus::Run(int signal_fd) {
    for (auto& device : devices_)
        device->Start();
    std::vector<BusFrame> frames;
    Frames(frames);
    std::printf("ready\n");
    std::fflush(stdout);

    while (!quit_) {
        std::vector<pollfd> fds;
        fds.push_back({signal_fd, POLLIN, 0});
        const bool reading_commands = stdin_open_ && NowUs() >= commands_resume_us_;
        fds.push_back({reading_commands ? STDIN_FILENO : -1, POLLIN, 0});
        for (const Drop& d : drops_)
            fds.push_back({d.master, POLLIN, 0});

        std::int64_t now = NowUs();
        const auto wake = NextWake(now);
        timespec timeout{};
        if (wake) {
            const std::int64_t us = std::max<std::int64_t>(0, *wake - now);
            timeout = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
        }
        if (ppoll(fds.data(), fds.size(), wake ? &timeout : nullptr, nullptr) < 0 && errno != EINTR)
            Fail("poll: " + std::string(std::strerror(errno)));
        now = NowUs();

        if (fds[0].revents & POLLIN) break;  // SIGINT or SIGTERM
        for (std::size_t i = 0; i < drops_.size(); ++i)
            if (fds[2 + i].revents & POLLIN) ReadDrop(drops_[i], now);

        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char buffer[4096];
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                stdin_open_ = false;
                if (stdin_buffer_.empty()) quit_ = true;
            } else {
                stdin_buffer_.append(buffer, n);
            }
        }
        // Commands run in order; a "wait" holds back the ones after it.
        while (!quit_ && now >= commands_resume_us_) {
            const auto newline = stdin_buffer_.find('\n');
            if (newline == std::string::npos) {
                if (!stdin_open_) {
                    if (!stdin_buffer_.empty()) Command(stdin_buffer_, now);
                    stdin_buffer_.clear();
                    // End of input ends the bus once earlier waits are over.
                    if (now >= commands_resume_us_) quit_ = true;
                }
                break;
            }
            const std::string line = stdin_buffer_.substr(0, newline);
            stdin_buffer_.erase(0, newline + 1);
            Command(line, now);
        }
        if (!stdin_open_ && stdin_buffer_.empty() && now >= commands_resume_us_) quit_ = true;

        Deliver(now);
        StartByte(now);
        Deliver(now);
        framer_.Expire(now - start_us_, frames);
        Frames(frames);
    }
    framer_.Finish(frames);
    Frames(frames);
    return 0;
}

void Usage(FILE* out) {
    std::fprintf(
        out,
        "usage: brevanto-bus [--link DIR] [--drop NAME]... [--device SPEC]... [--trace FILE]\n"
        "                    [--trace-clock bus|real] [--baud N]\n"
        "A virtual half-duplex lighting bus: each drop is a pseudo-terminal, linked as DIR/NAME,\n"
        "that a panel opens as its serial port (brevanto-host --serial DIR/NAME). A byte any\n"
        "drop or device sends reaches every drop, paced at ten bit times per byte. Prints\n"
        "\"ready\" once the links exist, then what the simulated devices do.\n"
        "\n"
        "  --link DIR     where the drops' links go (default: the current directory)\n"
        "  --drop NAME    a drop (default: one drop \"panel\"); may be given again\n"
        "  --device SPEC  a simulated device; may be given again:\n"
        "                   dimmer:area=A,box=B,channels=N[,join=J]  answers presets, levels\n"
        "                   and requests of its area\n"
        "                   keypad:box=B  presses buttons on the \"press\" command\n"
        "  --trace FILE   one line per frame: microseconds, source, bytes (\"-\": standard\n"
        "                 output)\n"
        "  --trace-clock bus|real\n"
        "                 the trace's microseconds count from the bus's start (bus, the\n"
        "                 default) or are the system's real time since 1970 (real), the\n"
        "                 clock a page's Date reads, to compare the two\n"
        "  --baud N       the line speed (default 9600)\n"
        "  --help         print this and exit\n"
        "  --version      print the version and exit\n"
        "\n"
        "Commands on standard input, one a line: send HEX... (a frame; the checksum is\n"
        "added to seven bytes), raw HEX... (bytes as given), press BOX BUTTON, wait MS,\n"
        "repeat N COMMAND (the command N times over), quit.\n"
        "The bus ends on quit, at the end of its input, or on SIGTERM or SIGINT.\n"
        "\n"
        "Exit status: 0 when it ended as asked; 2 on a wrong command line or when the drops\n"
        "could not be made.\n");
}

}  // namespace

int Main(int argc, char** argv) {
    fs::path dir = ".";
    std::vector<std::string> drops;
    std::vector<std::string> device_specs;
    std::string trace_path;
    bool real_time_trace = false;
    long baud = 9600;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        }
        if (arg == "--version") {
            std::fputs(brevanto::VersionText("brevanto-bus").c_str(), stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            Usage(stderr);
            Fail("missing value after " + arg);
        }
        const std::string value = argv[++i];
        if (arg == "--link") {
            dir = value;
        } else if (arg == "--drop") {
            drops.push_back(value);
        } else if (arg == "--device") {
            device_specs.push_back(value);
        } else if (arg == "--trace") {
            trace_path = value;
        } else if (arg == "--trace-clock") {
            if (value != "bus" && value != "real") Fail("bad trace clock \"" + value + "\"");
            real_time_trace = value == "real";
        } else if (arg == "--baud") {
            char* end = nullptr;
            baud = std::strtol(value.c_str(), &end, 10);
            if (*end != '\0' || baud < 50 || baud > 1000000)
                Fail("bad baud rate \"" + value + "\"");
        } else {
            Usage(stderr);
            Fail("unknown option " + arg);
        }
    }
    if (drops.empty()) drops.push_back("panel");
    if (!fs::is_directory(dir)) Fail("no such directory: " + dir.string());

    FILE* trace = nullptr;
    if (trace_path == "-") {
        trace = stdout;
    } else if (!trace_path.empty()) {
        trace = std::fopen(trace_path.c_str(), "w");
        if (!trace) Fail(trace_path + ": " + std::strerror(errno));
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signal_fd < 0) Fail("signalfd: " + std::string(std::strerror(errno)));
    signal(SIGPIPE, SIG_IGN);

    Bus bus(static_cast<int>(baud), trace, real_time_trace ? NowUs(CLOCK_REALTIME) : 0);
    std::vector<std::unique_ptr<bus::Device>> devices;
    for (const std::string& spec : device_specs) {
        std::string error;
        auto device = bus::ParseDevice(spec, error);
        if (!device) Fail("--device " + spec + ": " + error);
        devices.push_back(std::move(device));
    }
    for (const std::string& name : drops)
        bus.AddDrop(name, dir);
    for (auto& device : devices)
        bus.AddDevice(std::move(device));
    const int result = bus.Run(signal_fd);
    bus.RemoveLinks();
    if (trace && trace != stdout) std::fclose(trace);
    return result;
}

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "brevanto-bus: %s\n", error.what());
        return 2;
    }
}
