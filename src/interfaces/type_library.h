// The library's type library "Brevanto" 1.5: every script interface, described once.
#pragma once

#include "interfaces/backlight.h"
#include "interfaces/dispatch.h"
#include "interfaces/global.h"
#include "interfaces/host.h"
#include "interfaces/ids.h"
#include "interfaces/network.h"
#include "interfaces/persistence.h"
#include "interfaces/runtime.h"
#include "interfaces/scheduler.h"
#include "interfaces/security.h"
#include "platform/type_info.h"

const TypeLibraryDesc& BrevantoTypeLibrary();
