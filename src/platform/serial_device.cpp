#include "platform/serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/settings_store.h"

namespace {

speed_t SpeedFor(DWORD baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B9600;
    }
}

std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

}  // namespace

SerialDevice::SerialDevice() : wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

SerialDevice::~SerialDevice() {
    Close();
    if (wake_fd_ >= 0) close(wake_fd_);
}

std::string SerialDevice::PathForName(std::u16string_view name) {
    // "COM" digits ":", letters in any case.
    if (name.size() < 5 || name.back() != u':') return {};
    const std::string text = Narrow(name);
    if ((text[0] | 0x20) != 'c' || (text[1] | 0x20) != 'o' || (text[2] | 0x20) != 'm') return {};
    DWORD number = 0;
    for (std::size_t i = 3; i + 1 < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9' || number > 100000) return {};
        number = number * 10 + static_cast<DWORD>(text[i] - '0');
    }
    CRegKey key;
    std::u16string mapped;
    if (key.Open(HKEY_CURRENT_USER, kSerialDeviceKey, KEY_READ) == ERROR_SUCCESS &&
        key.QueryStringValue(std::u16string(name).c_str(), &mapped) == ERROR_SUCCESS &&
        !mapped.empty())
        return Narrow(mapped);
    // COM1: is the first serial line.
    return "/dev/ttyS" + std::to_string(number == 0 ? 0 : number - 1);
}

std::string SerialDevice::PathForPort(DWORD number) {
    const std::string name = "COM" + std::to_string(number) + ":";
    return PathForName(std::u16string(name.begin(), name.end()));
}

bool SerialDevice::Open(const std::string& path) {
    Close();
    if (path.empty()) return false;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    if (isatty(fd)) {
        // Nobody else may open the line while we hold it; pending input is stale.
        if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
            close(fd);
            return false;
        }
        tcflush(fd, TCIFLUSH);
    }
    fd_ = fd;
    return true;
}

void SerialDevice::Close() {
    if (fd_ < 0) return;
    // The exclusive flag outlives our descriptor when someone else keeps the line open
    // (the bus simulator does), so a later open by us would be refused.
    if (isatty(fd_)) ioctl(fd_, TIOCNXCL);
    close(fd_);
    fd_ = -1;
}

bool SerialDevice::Configure(DWORD baud) {
    termios tio{};
    if (fd_ < 0 || tcgetattr(fd_, &tio) != 0) return false;
    // Binary and raw: no input or output processing, no echo, no signals, no parity check
    // or stripping, no XON/XOFF, 8 data bits, no parity, one stop bit, modem lines ignored.
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP | IGNPAR | PARMRK);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    // A read returns at once with whatever is buffered.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, SpeedFor(baud));
    cfsetospeed(&tio, SpeedFor(baud));
    return tcsetattr(fd_, TCSANOW, &tio) == 0;
}

int SerialDevice::Read(BYTE* bytes, std::size_t capacity) {
    if (fd_ < 0) return -1;
    const ssize_t n = read(fd_, bytes, capacity);
    if (n > 0) return static_cast<int>(n);
    if (n == 0 || errno == EAGAIN || errno == EINTR) return 0;
    return -1;
}

std::size_t SerialDevice::Waiting() const {
    int waiting = 0;
    if (fd_ < 0 || ioctl(fd_, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
    return static_cast<std::size_t>(waiting);
}

std::size_t SerialDevice::Write(const BYTE* bytes, std::size_t count) {
    std::size_t written = 0;
    int stalls = 0;
    while (fd_ >= 0 && written < count) {
        const ssize_t n = write(fd_, bytes + written, count - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) break;
        // The output queue is full: give it a little time, but never hang the port.
        if (++stalls > 10) break;
        pollfd pfd{fd_, POLLOUT, 0};
        poll(&pfd, 1, 20);
    }
    return written;
}

SerialDevice::WaitResult SerialDevice::Wait(DWORD timeout_ms) {
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {fd_, POLLIN, 0}};
    const int timeout = timeout_ms == 0xFFFFFFFF ? -1
                        : timeout_ms > INT_MAX   ? INT_MAX
                                                 : static_cast<int>(timeout_ms);
    const int ready = poll(fds, fd_ >= 0 ? 2 : 1, timeout);
    if (ready > 0 && (fds[0].revents & POLLIN)) {
        eventfd_t value;
        eventfd_read(wake_fd_, &value);
        return WaitResult::kWoken;
    }
    // A hang-up (the other side of a pseudo-terminal gone) also counts as readable: the read
    // then reports what happened, and the caller's own pacing keeps it from spinning.
    if (ready > 0 && fds[1].revents) return WaitResult::kReadable;
    return WaitResult::kTimeout;
}

void SerialDevice::Wake() {
    if (wake_fd_ >= 0) eventfd_write(wake_fd_, 1);
}
