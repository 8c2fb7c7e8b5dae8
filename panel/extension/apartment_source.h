// The calling thread's single-threaded apartment, pumped by the thread's GLib main loop: work
// that other threads queue for it (calls of script objects from the library's worker threads)
// runs on this thread as the loop dispatches it, between the page's own events.
#pragma once

#include <glib.h>

namespace brevanto_panel {

class ApartmentSource {
  public:
    // Attaches to `context` (null: the default main context). The thread must be in a
    // single-threaded apartment.
    explicit ApartmentSource(GMainContext* context = nullptr);
    ~ApartmentSource();
    ApartmentSource(const ApartmentSource&) = delete;
    ApartmentSource& operator=(const ApartmentSource&) = delete;

    bool attached() const { return source_ != nullptr; }

  private:
    GSource* source_ = nullptr;
};

}  // namespace brevanto_panel
