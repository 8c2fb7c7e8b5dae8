// Runs brevanto-bus for a test or a benchmark: in a temporary directory, with the drops named
// by the caller and a trace file, stopped (and killed if it does not stop) on destruction.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bus {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct TraceLine {
    long long time_us = 0;
    std::string source;
    std::vector<std::uint8_t> bytes;
};

// brevanto-bus in a temporary directory; stopped (and killed if need be) on destruction.
class BusProcess {
  public:
    explicit BusProcess(std::vector<std::string> drops = {"panel", "other"}) {
        char pattern[] = "/tmp/brevanto-port-XXXXXX";
        dir_ = mkdtemp(pattern);
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            // Ends with the test, even when the test dies while it holds the bus still.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            close(in[1]);
            close(out[0]);
            const std::string link = dir_.string(), trace = (dir_ / "trace").string();
            std::vector<std::string> args = {BREVANTO_BUS_EXE, "--link", link, "--trace", trace};
            for (const std::string& drop : drops) {
                args.push_back("--drop");
                args.push_back(drop);
            }
            std::vector<char*> argv;
            for (std::string& arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(BREVANTO_BUS_EXE, argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        // Wait (bounded) for "ready".
        std::string seen;
        const auto give_up = Clock::now() + std::chrono::seconds(5);
        fcntl(stdout_, F_SETFL, O_NONBLOCK);
        while (seen.find("ready\n") == std::string::npos && Clock::now() < give_up) {
            char buffer[64];
            const ssize_t n = read(stdout_, buffer, sizeof buffer);
            if (n > 0)
                seen.append(buffer, n);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ready_ = seen.find("ready\n") != std::string::npos;
    }
    ~BusProcess() {
        Command("quit");
        close(stdin_);
        int status = 0;
        const auto give_up = Clock::now() + std::chrono::seconds(2);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > give_up) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        close(stdout_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    bool ready() const { return ready_; }
    // The bus process held still while it lives (or until Release): a bus that answers late.
    class Held {
      public:
        explicit Held(BusProcess& bus) : pid_(bus.pid_) { kill(pid_, SIGSTOP); }
        ~Held() { Release(); }
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;
        void Release() {
            if (pid_ > 0) kill(std::exchange(pid_, -1), SIGCONT);
        }

      private:
        pid_t pid_;
    };
    fs::path Drop(const char* name) const { return dir_ / name; }
    void Command(const std::string& line) {
        const std::string text = line + "\n";
        [[maybe_unused]] ssize_t n = write(stdin_, text.data(), text.size());
    }

    std::vector<TraceLine> Trace() const {
        std::vector<TraceLine> lines;
        std::ifstream in(dir_ / "trace");
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream words(line);
            TraceLine entry;
            std::string hex;
            words >> entry.time_us >> entry.source;
            while (words >> hex)
                entry.bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex, nullptr, 16)));
            lines.push_back(entry);
        }
        return lines;
    }
    // The trace once `done(lines)` holds (or after a few seconds).
    template <class Done>
    std::vector<TraceLine> TraceUntil(Done done) const {
        const auto give_up = Clock::now() + std::chrono::seconds(5);
        auto lines = Trace();
        while (!done(lines) && Clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            lines = Trace();
        }
        return lines;
    }
    // The trace once it holds at least `count` lines (or after a few seconds).
    std::vector<TraceLine> TraceAtLeast(std::size_t count) const {
        return TraceUntil(
            [count](const std::vector<TraceLine>& lines) { return lines.size() >= count; });
    }

  private:
    fs::path dir_;
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1;
    bool ready_ = false;
};

}  // namespace bus
