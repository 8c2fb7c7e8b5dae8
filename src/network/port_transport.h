// The transport of one serial line of the lighting bus: a thread that frames the received
// bytes, swallows the echo of its own last packet, keeps a bounded queue of packets to send and
// sends them when the bus has been quiet long enough.
//
// The bus is half duplex: every byte we write comes back to our receiver, and any device may
// talk at any time. The thread waits on the device with a time-out taken from the deadlines
// that are pending (bus silence before a queued packet, the completion of a frame that cannot
// grow any more), and is woken when a packet is queued or the port is closed, so an idle port
// sleeps until something happens.
#pragma once

#include <array>
#include <atomic>
#include <deque>
#include <string>

#include "network/frame_assembler.h"
#include "network/packet_base.h"
#include "network/raw_packet.h"
#include "platform/lock.h"
#include "platform/serial_device.h"
#include "runtime/ref_counted.h"
#include "runtime/thread.h"

class CComPort : public Thread {
  public:
    static constexpr std::size_t kMaxSendBytes = kMaxFrameBytes;
    static constexpr DWORD kDefaultQueueLimit = 64;

    CComPort();
    ~CComPort() override;

    DWORD Run() override;
    // Line settings for the bus (BaudRate, 8N1, raw, no flow control); a device whose settings
    // cannot be read keeps the ones it has.
    virtual void Configure();
    // Every complete frame that is not our own echo, on the port thread. The slot is reused
    // once the ring comes round again: keep a copy, not the slot.
    virtual void OnFrame(RawPacket& frame);

    // Opens "COM<number>:" and starts the thread; an open port is closed first. True when the
    // thread runs.
    bool OpenPort(DWORD number, DWORD mask);
    // Stops the thread (at most 200 ms of waiting) and closes the device.
    void ClosePort();
    // Appends to the send queue, dropping the oldest packets while it is full.
    void QueuePacket(ref<PacketBase> packet);

    std::size_t QueuedPackets();
    bool IsOpen() const { return device_.IsOpen(); }

    // Settings; change them only while the port is closed.
    DWORD QueueLimit = kDefaultQueueLimit;
    DWORD BaudRate = 9600;
    DWORD IdleBeforeSend = 30;
    DWORD InterByteTimeout = 60;

    // Set by OpenPort.
    DWORD PortNumber = 0;
    DWORD PortMask = 0;
    std::u16string DeviceName;

  protected:
    // One pass of the receiver over the bytes the device has; true when it completed a frame or
    // the port is stopping.
    bool ReceiveStep();
    // Sends the oldest queued packet when the bus allows; true when one went out.
    bool TransmitStep();

  private:
    void CompleteFrame(RawPacket& frame);
    // When a byte read at `now` reached the device, as far as the `behind` bytes that came after
    // it tell.
    DWORD ArrivalOfByteRead(DWORD now, std::size_t behind);
    // How long the thread may sleep on the device before a deadline of its own comes due.
    DWORD IdleTimeout();

    SerialDevice device_;
    // Written by the port thread only while it runs.
    DWORD LastBusActivity = 0;
    DWORD SendDeadline = 0;
    DWORD LastArrival = 0;
    // What one read took from the device and the receiver has not framed yet: a frame's bytes
    // that wait together are read together, so the receiver sees what follows a byte.
    std::array<BYTE, 64> ReadAhead{};
    std::size_t ReadAheadBegin = 0, ReadAheadEnd = 0;
    DWORD ReadAheadAt = 0;         // when it was read
    std::size_t WaitingAfter = 0;  // bytes still in the device then
    // Packets sent whose echo has not come back yet, oldest first. Echoes come back in the order
    // the packets went out, normally before the next one goes; a bus that answers late may hold
    // several, and each is still the port's own.
    std::deque<ref<PacketBase>> AwaitedEchoes;
    FrameAssembler assembler_;

    CCriticalSectionEx QueueLock;
    std::deque<ref<PacketBase>> SendQueue;
};

// Whoever takes the frames of a half-duplex port (the script object of the port).
class PortOwner {
  public:
    // On the port thread, with a new packet of its own for every frame.
    virtual void Deliver(ref<PacketBase> packet) = 0;

  protected:
    ~PortOwner() = default;
};

class CHalfDuplexPort : public CComPort {
  public:
    ~CHalfDuplexPort() override;
    // While an owner is set: a new COMPacket with the frame's bytes and decoded header, handed
    // to the owner.
    void OnFrame(RawPacket& frame) override;

    // Clear it only while the port is closed: a running thread may be inside Deliver.
    void SetOwner(PortOwner* owner) { owner_.store(owner, std::memory_order_release); }
    PortOwner* Owner() const { return owner_.load(std::memory_order_acquire); }

  private:
    std::atomic<PortOwner*> owner_{nullptr};
};
