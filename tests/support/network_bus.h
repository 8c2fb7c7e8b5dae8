// brevanto-bus for the network tests: the panel's drop mapped to a COM name, and a second drop
// "other" that a test writes to as another device on the bus would.
#pragma once

#include "bus_process.h"
#include "support/network_doubles.h"

// brevanto-bus joins the panel's drop, mapped to "COM<port>:", and the drop "other".
class BusTest : public ::testing::Test {
  protected:
    void StartBus(DWORD port) {
        ASSERT_TRUE(bus_.ready()) << "brevanto-bus did not start";
        MapComPort(port, bus_.Drop("panel").string());
        ASSERT_TRUE(other_.Open(bus_.Drop("other")));
        ASSERT_TRUE(other_.Configure(9600));
    }
    void OtherWrites(const Bytes& bytes) {
        other_.Write(bytes.data(), bytes.size());
        other_bytes_ += bytes.size();
    }
    // Waits until the bus has carried everything "other" wrote, so that a pause after it is a
    // pause on the line the port reads, however late the bus process runs.
    void WaitUntilCarried() {
        bus_.TraceUntil([this](const std::vector<bus::TraceLine>& lines) {
            std::size_t carried = 0;
            for (const auto& line : lines)
                carried += line.source == "panel" ? 0 : line.bytes.size();
            return carried >= other_bytes_;
        });
    }

    // Everything the panel's drop has written, once that is at least `count` bytes.
    Bytes PanelWrote(std::size_t count) {
        Bytes bytes;
        bus_.TraceUntil([&](const std::vector<bus::TraceLine>& lines) {
            bytes.clear();
            for (const auto& line : lines)
                if (line.source == "panel")
                    bytes.insert(bytes.end(), line.bytes.begin(), line.bytes.end());
            return bytes.size() >= count;
        });
        return bytes;
    }

    bus::BusProcess bus_;
    SerialDevice other_;
    std::size_t other_bytes_ = 0;
};
