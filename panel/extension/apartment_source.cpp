#include "panel/extension/apartment_source.h"

#include <glib-unix.h>

#include "platform/apartment.h"

namespace brevanto_panel {

namespace {

gboolean PumpApartment(gint, GIOCondition, gpointer) {
    CoPumpDescriptorReady();
    return G_SOURCE_CONTINUE;
}

}  // namespace

ApartmentSource::ApartmentSource(GMainContext* context) {
    const int descriptor = CoGetPumpDescriptor();
    if (descriptor < 0) return;
    source_ = g_unix_fd_source_new(descriptor, G_IO_IN);
    g_source_set_callback(source_, G_SOURCE_FUNC(PumpApartment), nullptr, nullptr);
    g_source_attach(source_, context);
}

ApartmentSource::~ApartmentSource() {
    if (!source_) return;
    g_source_destroy(source_);
    g_source_unref(source_);
}

}  // namespace brevanto_panel
