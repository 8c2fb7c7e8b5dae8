// The object library as a host loads it: the module file opened with dlopen, its classes
// registered by its own DllRegisterServer, and objects created through its entry points.
#pragma once

#include <filesystem>
#include <string>

#include "platform/automation.h"

namespace brevanto_host {

class LibraryModule {
  public:
    LibraryModule() = default;
    ~LibraryModule();
    LibraryModule(const LibraryModule&) = delete;
    LibraryModule& operator=(const LibraryModule&) = delete;

    // Opens the module and registers its classes; false with *error when it cannot.
    bool Load(const std::filesystem::path& file, std::string* error);
    // An object of the module by programmatic identifier, through DllGetClassObject.
    HRESULT Create(const std::u16string& prog_id, IDispatch** object);
    // The default module file: libbrevanto.so next to the host program, one folder up, or in
    // the installed library folder relative to the program; else the loader's path.
    static std::filesystem::path DefaultFile();

  private:
    using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
    void* handle_ = nullptr;
    GetClassObjectFn get_class_object_ = nullptr;
};

}  // namespace brevanto_host
