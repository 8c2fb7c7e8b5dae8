// Notified when a packet has been written to a port.
#pragma once

class PacketBase;

struct PacketListener {
    // Runs on the port's thread right after the bytes went out; `packet` is alive for the call
    // (the port holds a reference), and a listener that keeps it takes a ref<> of its own.
    virtual void OnPacketSent(PacketBase& packet) = 0;

  protected:
    ~PacketListener() = default;
};
