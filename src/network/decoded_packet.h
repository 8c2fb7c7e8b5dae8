// The decoded view of a packet: typed header fields with a presence mask, and named values.
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

    struct NamedValue {
        std::u16string name;
        CComVariant value;
    };

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

    // Named values, in the order first stored. Storing under a name already present (compared
    // without regard to ASCII case) replaces its value and keeps its place.
    void SetValue(std::u16string_view name, const VARIANT& value);
    // Null when there is no value of that name.
    const VARIANT* FindValue(std::u16string_view name) const;
    const std::vector<NamedValue>& Values() const { return values_; }
    void ClearValues() { values_.clear(); }

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
    std::vector<NamedValue> values_;
};
