// A serial device as the port thread uses it: opened by its "COM%d:" name, set to the lighting
// bus's line settings, read one byte at a time without blocking, and waited on with a time-out
// that another thread can cut short.
//
// "COMn:" names map to device paths through the settings store: the string value named "COMn:"
// under HKEY_CURRENT_USER\Software\Brevanto\Quorvane\Serial, else /dev/ttyS<n-1>. A pseudo-
// terminal of the bus simulator stands in for a real port by naming it there.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/types.h"

inline constexpr const char16_t* kSerialDeviceKey = u"Software\\Brevanto\\Quorvane\\Serial";

class SerialDevice {
  public:
    enum class WaitResult { kReadable, kTimeout, kWoken };

    SerialDevice();
    ~SerialDevice();
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // The device path behind "COMn:" (an empty string for a name of another form).
    static std::string PathForName(std::u16string_view name);
    static std::string PathForPort(DWORD number);

    // Opens an existing device for reading and writing, for this process alone; input that
    // waited in the device from before is dropped. An open device is closed first.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

    // Raw 8N1 at `baud` (unknown rates fall back to 9600), no flow control, reads that return
    // at once. False, with the settings unchanged, when the current settings cannot be read.
    bool Configure(DWORD baud);

    // The bytes waiting, at most `capacity`: how many were read (0 when none), -1 on an error (or
    // when no device is open).
    int Read(BYTE* bytes, std::size_t capacity);
    // How many received bytes wait to be read now (0 when none, or when it cannot be told).
    std::size_t Waiting() const;
    // Writes all bytes, waiting a bounded time for room; returns how many were written.
    std::size_t Write(const BYTE* bytes, std::size_t count);

    // Waits until the device has input, Wake is called, or timeout_ms (INFINITE: no limit)
    // passes. A wake-up that came before the wait ends the next wait at once.
    WaitResult Wait(DWORD timeout_ms);
    // Ends the current or next Wait; callable from any thread.
    void Wake();

  private:
    int fd_ = -1;
    int wake_fd_ = -1;  // eventfd, lives as long as the object so Wake is always safe
};
