// The network's restart and shut-down requests reach the host: a page arms the panel with a
// frame for its own box (the frame's feedback copy passes the incoming default filter), and the
// test clock stands in for the thirty seconds before the restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <thread>

#include "host/page_host.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "platform/settings_store.h"
#include "support/data_directory.h"
#include "support/waitable_log.h"

// A thread's static thread-local storage lies at the top of its stack mapping, and some runtimes
// keep a large block there (ThreadSanitizer's does). The host runs its page on a thread of its
// own here, and the depth of the page's calls into the library must not count this block.
thread_local std::array<char, 1 << 20> tls_block;  // not internal: it must not be optimised away

namespace {

// Box 7 is armed, then (in the "shut down" mode) told to shut down. The mode comes from a
// script the test writes, so each start of the page reads it afresh.
constexpr char kPage[] = R"js(
Global.LoadScript('mode', 'mode.js');
Global.Log('page started, box ' + Global.BoxNumber);
Global.BoxNumber = 7;
Global.NetworkHandler.SendPacket([0x5C, 0x01, 0x07, 0x01, 0x3E, 0x01, 0x00]);
Global.Log('armed');
if (mode === 'shut down') Global.NetworkHandler.SendPacket([0x5C, 0x01, 0x07, 0x02, 0x21, 0, 0]);
)js";

class NetworkRequestsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Port 0 has no device: the frames wait in its queue and only their copies are seen.
        CRegKey map;
        ASSERT_EQ(map.Create(HKEY_CURRENT_USER, kSerialDeviceKey), ERROR_SUCCESS);
        ASSERT_EQ(map.SetStringValue(u"COM3:", u"/nonexistent/brevanto-tty"), ERROR_SUCCESS);
        data_.Put("page.js", kPage);
        options_.data_dir = data_ / "";
        options_.module_file = BREVANTO_MODULE_FILE;
        options_.scripts = {data_ / "page.js"};
        options_.timeout_seconds = 60;
        options_.output = [this](const std::string& line) { log_.Add(line); };
    }
    void TearDown() override {
        if (!run_.joinable()) return;  // a failed assertion returned early
        host_->RequestClose();
        run_.join();
    }
    void Mode(const std::string& mode) { data_.Put("mode.js", "var mode = '" + mode + "';"); }
    // How many log lines are `line`, once at least `n` are (or the wait gave up).
    std::size_t Logged(const std::string& line, std::size_t n = 0) {
        const auto count = [&](const std::vector<std::string>& all) {
            return static_cast<std::size_t>(std::count(all.begin(), all.end(), line));
        };
        return count(log_.WaitUntil([&](const auto& all) { return count(all) >= n; }));
    }

    ScopedTestClock clock_{1000};
    DataDirectory data_;
    brevanto_host::HostOptions options_;
    WaitableLog<std::string> log_;
    std::optional<brevanto_host::PageHost> host_;
    std::thread run_;
    int status_ = -1;
};

TEST_F(NetworkRequestsTest, AnArmedPanelRestartsWithAFreshGlobalAfterThirtySeconds) {
    Mode("restart");
    host_.emplace(options_);
    run_ = std::thread([this] {
        tls_block[0] = 1;
        status_ = host_->Run();
    });
    ASSERT_EQ(Logged("armed", 1), 1u);
    TestClock::Advance(30000);
    // A fresh Global: the box number the first page set is gone.
    ASSERT_EQ(Logged("page started, box 1", 2), 2u);
    EXPECT_EQ(Logged("page started, box 7"), 0u);
    EXPECT_EQ(Logged("brevanto-host: restart requested by the network: the pages start again "
                     "with a fresh Global"),
              1u);

    // The restarted page armed again; this time it is told to shut down.
    ASSERT_EQ(Logged("armed", 2), 2u);
    Mode("shut down");
    TestClock::Advance(30000);
    run_.join();
    EXPECT_EQ(status_, brevanto_host::kExitClosed);
    EXPECT_EQ(Logged("page started, box 1"), 3u);
    EXPECT_EQ(Logged("brevanto-host: shut-down requested by the network"), 1u);
}

}  // namespace
