// Notified when a packet has been written to a port, or discarded unsent.
#pragma once

#include "platform/types.h"

class PacketBase;

struct PacketListener {
    // Runs on the port's thread right after the bytes went out; `packet` is alive for the call
    // (the port holds a reference), and a listener that keeps it takes a ref<> of its own.
    virtual void OnPacketSent(PacketBase& packet) = 0;
    // Runs on the queuing thread when the port `port_mask`, its send queue full, discarded the
    // packet unsent; `packet` is alive for the call, as above.
    virtual void OnPacketDiscarded(PacketBase&, DWORD /*port_mask*/) {}

  protected:
    ~PacketListener() = default;
};
