// Script-side values the network tests pass around: arrays as a script engine hands them over,
// and packet objects holding given bytes.
#pragma once

#include <vector>

#include "network/packet_object.h"
#include "support/network_doubles.h"
#include "support/script_doubles.h"

// A script array of `bytes` as the value a script passes.
inline CComVariant ArrayValue(const std::vector<int>& bytes) {
    return AsVariant(ScriptArray::Bytes(bytes)->GetUnknown());
}

// An array-like object whose length goes by another name: no reader can size it.
inline ComPtr<ScriptArray> ArrayWithoutLength() {
    auto array = ScriptArray::Bytes({1, 2, 3});
    array->length_name = u"size";
    return array;
}

inline ComPtr<CPacketOb> PacketObjectOf(const Bytes& bytes) {
    auto packet = New<CPacketOb>();
    packet->Packet()->AssignBytes(bytes.data(), bytes.size());
    return packet;
}

inline IDispatch* DispatchOf(CPacketOb* packet) {
    return static_cast<IDispatch*>(static_cast<IPacket*>(packet));
}
