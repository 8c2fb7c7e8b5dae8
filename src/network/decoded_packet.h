// The decoded view of a packet: typed header fields with a presence mask, and named values.
#pragma once

#include <cstddef>
#include <string_view>

#include "dispatch/member_table.h"
#include "platform/types.h"
#include "platform/variant.h"

class DecodedPacket {
  public:
    // Presence bits of the typed fields.
    enum Field : WORD {
        kSync = 0x001,
        kOpcode = 0x002,
        kFade = 0x004,
        kChannel = 0x008,
        kLogical = 0x010,
        kJoin = 0x020,
        kArea = 0x040,
        kBoxNumber = 0x080,
        kDeviceCode = 0x100,
        kBlock = 0x200,
    };

    // DISPIDs of the named values start here, above the byte names (0x30000 + index) of the
    // packet's script object.
    static constexpr DISPID kFirstValueDispid = 0x40000;

    // Typed fields. Area and BoxNumber share one cell, and so do Join and DeviceCode: a logical
    // packet uses the first of each pair, a physical one the second. Byte-wide fields (Sync,
    // Opcode, Join, DeviceCode) keep the low 8 bits of what is stored.
    void Set(Field field, LONG value);
    // False (and *value untouched) when the field is absent.
    bool Get(Field field, LONG* value) const;
    bool Has(Field field) const { return (present_ & field) != 0; }
    void Remove(Field field) { present_ = static_cast<WORD>(present_ & ~field); }
    WORD PresenceMask() const { return present_; }
    // Removes every typed field (the named values stay).
    void ClearFields() { present_ = 0; }
    // The value last stored in the field's cell, present or not.
    LONG Stored(Field field) const;

    // Named values, in the order first stored. Storing under a name already present (compared
    // without regard to ASCII case) replaces its value and keeps its place. They are the
    // dynamic members of the packet's script objects, so the store is a member table.
    void SetValue(std::u16string_view name, const VARIANT& value);
    // The value of that name in place (valid until the values next change); null when none.
    const VARIANT* FindValue(std::u16string_view name) const;
    std::size_t ValueCount() const { return values_.Count(); }
    void ClearValues() { values_.DeleteAll(); }
    IDispatchExImplRaw& Values() { return values_; }

  private:
    LONG* Cell(Field field);

    WORD present_ = 0;
    LONG sync_ = 0;
    LONG opcode_ = 0;
    LONG fade_ = 0;
    LONG channel_ = 0;
    LONG logical_ = 0;
    LONG join_or_device_code_ = 0;
    LONG area_or_box_number_ = 0;
    LONG block_ = 0;
    // Expandable, and its DISPIDs fixed here rather than from a script interface.
    IDispatchExImplRaw values_{
        kFirstValueDispid, IDispatchExImplRaw::kExpandable | IDispatchExImplRaw::kTypeInfoPrepared};
};
