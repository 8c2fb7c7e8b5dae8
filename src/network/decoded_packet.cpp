#include "network/decoded_packet.h"

namespace {

bool IsByteField(DecodedPacket::Field field) {
    return field == DecodedPacket::kSync || field == DecodedPacket::kOpcode ||
           field == DecodedPacket::kJoin || field == DecodedPacket::kDeviceCode;
}

}  // namespace

LONG* DecodedPacket::Cell(Field field) {
    switch (field) {
        case kSync:
            return &sync_;
        case kOpcode:
            return &opcode_;
        case kFade:
            return &fade_;
        case kChannel:
            return &channel_;
        case kLogical:
            return &logical_;
        case kJoin:
        case kDeviceCode:
            return &join_or_device_code_;
        case kArea:
        case kBoxNumber:
            return &area_or_box_number_;
        case kBlock:
            return &block_;
    }
    return nullptr;
}

void DecodedPacket::Set(Field field, LONG value) {
    LONG* cell = Cell(field);
    if (!cell) return;
    *cell = IsByteField(field) ? (value & 0xFF) : value;
    present_ = static_cast<WORD>(present_ | field);
}

bool DecodedPacket::Get(Field field, LONG* value) const {
    if (!Has(field)) return false;
    const LONG* cell = const_cast<DecodedPacket*>(this)->Cell(field);
    if (!cell) return false;
    *value = IsByteField(field) ? (*cell & 0xFF) : *cell;
    return true;
}

LONG DecodedPacket::Stored(Field field) const {
    const LONG* cell = const_cast<DecodedPacket*>(this)->Cell(field);
    if (!cell) return 0;
    return IsByteField(field) ? (*cell & 0xFF) : *cell;
}

void DecodedPacket::SetValue(std::u16string_view name, const VARIANT& value) {
    ThrowIfFailed(values_.SetValue(name, value));
}

const VARIANT* DecodedPacket::FindValue(std::u16string_view name) const {
    return values_.PeekValue(values_.Find(name, fdexNameCaseInsensitive));
}
