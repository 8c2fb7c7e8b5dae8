// Identifiers of the library's interfaces and of its type library. Each value is fixed for good:
// hosts and saved registrations refer to them.
#pragma once

#include "platform/guid.h"

namespace brevanto_ids {
// Every identifier of the library differs only in Data1 and the last byte.
constexpr GUID Make(DWORD n) {
    return GUID{0xB7E70000u + n,
                0x1A05,
                0x4B15,
                {0x9C, 0x2E, 0x5F, 0x11, 0x00, 0x00, 0x00, static_cast<BYTE>(n)}};
}
}  // namespace brevanto_ids

inline constexpr GUID LIBID_Brevanto = brevanto_ids::Make(0x01);
