// The automation runtime: everything a host or the object library needs from the component
// platform, in the platform's names and signatures.
#pragma once

#include "platform/apartment.h"
#include "platform/bstr.h"
#include "platform/comptr.h"
#include "platform/enum_variant.h"
#include "platform/git_ptr.h"
#include "platform/guid.h"
#include "platform/hresult.h"
#include "platform/safearray.h"
#include "platform/script_call.h"
#include "platform/settings_store.h"
#include "platform/types.h"
#include "platform/unknown.h"
#include "platform/variant.h"
