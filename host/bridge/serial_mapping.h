// --serial PATH: the device that the panel's bus port ("Port0" of the panel's settings, COM3 by
// default) opens, for as long as a host runs; the previous mapping is put back afterwards.
#pragma once

#include <optional>
#include <string>

namespace brevanto_host {

class SerialMapping {
  public:
    SerialMapping() = default;
    ~SerialMapping() { Restore(); }
    SerialMapping(const SerialMapping&) = delete;
    SerialMapping& operator=(const SerialMapping&) = delete;

    // Maps the bus port to `device` (nothing when it is empty).
    void Apply(const std::string& device);
    // Puts the previous mapping back (once).
    void Restore();

  private:
    std::u16string port_;  // "COM3:"; empty when nothing was mapped
    std::optional<std::u16string> saved_;
};

}  // namespace brevanto_host
