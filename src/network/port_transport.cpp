#include "network/port_transport.h"

#include <algorithm>
#include <vector>

#include "network/com_packet.h"
#include "platform/clock.h"

namespace {

// While a test holds the clock, the device wait (which counts real time) is kept short so that
// the loop sees the test clock's moves.
constexpr DWORD kTestClockPollMs = 5;
// A device that fails to read (its other side gone) is retried at this pace, not in a loop.
constexpr DWORD kReadErrorRetryMs = 10;
// Echoes awaited at most; the oldest is given up beyond (a write that never reached the line).
constexpr std::size_t kMaxAwaitedEchoes = 8;

}  // namespace

CComPort::CComPort() : Thread("DUMMY") {}

CComPort::~CComPort() {
    ClosePort();
    StopAndJoin();
}

void CComPort::Configure() {
    device_.Configure(BaudRate);
}

void CComPort::OnFrame(RawPacket&) {}

bool CComPort::OpenPort(DWORD number, DWORD mask) {
    if (device_.IsOpen()) ClosePort();
    PortNumber = number;
    PortMask = mask;
    const std::string name = "COM" + std::to_string(number) + ":";
    DeviceName.assign(name.begin(), name.end());
    SetName(name.c_str());
    if (!device_.Open(SerialDevice::PathForPort(number))) return false;
    Configure();
    return Start();
}

void CComPort::ClosePort() {
    // The thread may be asleep on the device: the stop event alone would not wake it.
    stop_event_.Set();
    device_.Wake();
    Stop(200);
    device_.Close();
}

void CComPort::QueuePacket(ref<PacketBase> packet) {
    if (!packet) return;
    std::vector<ref<PacketBase>> discarded;
    {
        CScopedLock lock(QueueLock);
        while (!SendQueue.empty() && SendQueue.size() >= QueueLimit) {
            discarded.push_back(std::move(SendQueue.front()));
            SendQueue.pop_front();
        }
        SendQueue.push_back(std::move(packet));
    }
    device_.Wake();
    // Told outside the lock: a packet with response queues itself again when its wait ends.
    for (const ref<PacketBase>& p : discarded)
        p->MarkDiscarded(PortMask);
}

std::size_t CComPort::QueuedPackets() {
    CScopedLock lock(QueueLock);
    return SendQueue.size();
}

DWORD CComPort::Run() {
    assembler_.InterByteTimeout = InterByteTimeout;
    ReadAheadBegin = ReadAheadEnd = 0;  // nothing of a device closed before
    SendDeadline = GetTickCount();
    while (!stop_event_.Wait(0)) {
        if (ReceiveStep()) continue;
        if (TransmitStep()) continue;
        if (!device_.IsOpen()) {
            stop_event_.Wait(kReadErrorRetryMs);
            continue;
        }
        device_.Wait(IdleTimeout());
    }
    return 0;
}

bool CComPort::ReceiveStep() {
    for (;;) {
        if (stop_event_.Wait(0)) return true;
        if (ReadAheadBegin == ReadAheadEnd) {
            const int got = device_.Read(ReadAhead.data(), ReadAhead.size());
            const DWORD now = GetTickCount();
            if (got < 0) {
                stop_event_.Wait(kReadErrorRetryMs);
                return false;
            }
            if (got == 0) {
                if (RawPacket* frame = assembler_.Quiet(now)) CompleteFrame(*frame);
                return false;
            }
            ReadAheadBegin = 0;
            ReadAheadEnd = static_cast<std::size_t>(got);
            ReadAheadAt = LastBusActivity = now;
            WaitingAfter = BaudRate ? device_.Waiting() : 0;
        }
        const BYTE byte = ReadAhead[ReadAheadBegin++];
        const std::span<const BYTE> behind(ReadAhead.data() + ReadAheadBegin,
                                           ReadAheadEnd - ReadAheadBegin);
        const DWORD arrival = ArrivalOfByteRead(ReadAheadAt, behind.size() + WaitingAfter);
        if (RawPacket* frame = assembler_.Receive(byte, arrival, behind)) {
            CompleteFrame(*frame);
            return true;
        }
    }
}

DWORD CComPort::ArrivalOfByteRead(DWORD now, std::size_t behind) {
    // The bytes still waiting behind this one came after it, at the line's speed: it arrived at
    // least their transmission time ago. A port thread that was held up (a busy machine) thus
    // sees the line as it was and does not cut a frame at a pause the line never had.
    const std::size_t waiting = BaudRate ? std::min(behind, kMaxSendBytes) : 0;
    DWORD arrival = now - static_cast<DWORD>(waiting * 10000 / (BaudRate ? BaudRate : 1));
    // Never before the byte read last: the estimate only shortens gaps, never reorders bytes.
    if (TickDiff(arrival, LastArrival) < 0 && TickDiff(now, LastArrival) >= 0)
        arrival = LastArrival;
    return LastArrival = arrival;
}

void CComPort::CompleteFrame(RawPacket& frame) {
    // Our own echo is swallowed, once; echoes before it that never came are given up.
    for (auto echo = AwaitedEchoes.begin(); echo != AwaitedEchoes.end(); ++echo) {
        if ((*echo)->SameBytes(frame)) {
            AwaitedEchoes.erase(AwaitedEchoes.begin(), echo + 1);
            return;
        }
    }
    frame.PortNumber = PortMask;
    frame.DestinationPorts &= ~PortMask;
    OnFrame(frame);
}

bool CComPort::TransmitStep() {
    const DWORD now = GetTickCount();
    if (now - LastBusActivity < IdleBeforeSend) return false;
    ref<PacketBase> packet;
    {
        CScopedLock lock(QueueLock);
        if (SendQueue.empty()) return false;
        packet = std::move(SendQueue.front());
        SendQueue.pop_front();
    }
    BYTE bytes[kMaxSendBytes];
    const LONG count = packet->CopyBytes(bytes, static_cast<LONG>(sizeof bytes));
    if (count <= 0) {
        // Nothing to write: told as discarded, so a packet with response still ends its wait.
        packet->MarkDiscarded(PortMask);
        return false;
    }
    // Ten bit times per byte.
    const DWORD transmission = static_cast<DWORD>(count) * 10000 / BaudRate;
    SendDeadline = now + transmission + packet->Delay;
    if (device_.IsOpen()) device_.Write(bytes, static_cast<std::size_t>(count));
    if (AwaitedEchoes.size() == kMaxAwaitedEchoes) AwaitedEchoes.pop_front();
    AwaitedEchoes.push_back(packet);
    packet->MarkSent(PortMask, now);
    LastBusActivity = now;
    // Nothing is read meanwhile: the echo is read afterwards and counts as bus activity.
    const std::int32_t remaining = TickDiff(SendDeadline, GetTickCount());
    if (remaining > 0) stop_event_.Wait(static_cast<DWORD>(remaining));
    return true;
}

DWORD CComPort::IdleTimeout() {
    const DWORD now = GetTickCount();
    DWORD timeout = INFINITE;
    auto until = [&](DWORD deadline) {
        const std::int32_t left = TickDiff(deadline, now);
        timeout = std::min(timeout, static_cast<DWORD>(std::max(left, 0)));
    };
    if (const auto deadline = assembler_.QuietDeadline()) until(*deadline);
    bool queued;
    {
        CScopedLock lock(QueueLock);
        queued = !SendQueue.empty();
    }
    // Unsigned, as the transmit step measures it.
    const DWORD quiet = now - LastBusActivity;
    if (queued) timeout = std::min(timeout, quiet >= IdleBeforeSend ? 0 : IdleBeforeSend - quiet);
    if (TestClock::Installed()) timeout = std::min(timeout, kTestClockPollMs);
    return timeout;
}

CHalfDuplexPort::~CHalfDuplexPort() {
    // OnFrame is ours: the thread must end before this part of the object goes.
    ClosePort();
    StopAndJoin();
}

void CHalfDuplexPort::OnFrame(RawPacket& frame) {
    PortOwner* owner = Owner();
    if (!owner) return;
    ref<PacketBase> packet(new COMPacket);
    packet->CopyFrom(frame);
    packet->DecodeHeader();
    owner->Deliver(std::move(packet));
}
