#include "host/bridge/library_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <system_error>

#ifndef BREVANTO_INSTALLED_MODULE_DIR
#error "the build defines BREVANTO_INSTALLED_MODULE_DIR (the module's folder from the program's)"
#endif

namespace brevanto_host {

LibraryModule::~LibraryModule() {
    // The module stays loaded: objects and threads of it may outlive this holder until exit,
    // and the platform keeps the modules it loaded for the life of the process as well.
}

std::filesystem::path LibraryModule::DefaultFile() {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        // The build tree keeps the module beside the program or one folder up; an installed
        // panel keeps it in the library folder of its own, found from the program's folder so
        // that an installation can be moved as a whole.
        const std::filesystem::path places[] = {
            self.parent_path(),
            self.parent_path().parent_path(),
            self.parent_path() / BREVANTO_INSTALLED_MODULE_DIR,
        };
        for (const auto& place : places) {
            std::filesystem::path candidate = (place / "libbrevanto.so").lexically_normal();
            if (std::filesystem::exists(candidate, ec)) return candidate;
        }
    }
    return "libbrevanto.so";
}

bool LibraryModule::Load(const std::filesystem::path& file, std::string* error) {
    std::error_code ec;
    std::filesystem::path path =
        file.has_parent_path() ? std::filesystem::absolute(file, ec) : file;
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        *error = std::string("cannot load the object library: ") + dlerror();
        return false;
    }
    get_class_object_ = reinterpret_cast<GetClassObjectFn>(dlsym(handle_, "DllGetClassObject"));
    auto register_server = reinterpret_cast<HRESULT (*)()>(dlsym(handle_, "DllRegisterServer"));
    if (!get_class_object_ || !register_server) {
        *error = path.string() + " does not export the module entry points";
        return false;
    }
    // Registration makes the classes known by name to every part of the process.
    HRESULT hr = register_server();
    if (FAILED(hr)) {
        char text[96];
        std::snprintf(text, sizeof text, "DllRegisterServer failed (0x%08X)",
                      static_cast<unsigned>(hr));
        *error = text;
        return false;
    }
    return true;
}

HRESULT LibraryModule::Create(const std::u16string& prog_id, IDispatch** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(prog_id.c_str(), &clsid);
    if (FAILED(hr)) return hr;
    if (!get_class_object_)
        return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(object));
    ComPtr<IClassFactory> factory;
    hr = get_class_object_(clsid, IID_IClassFactory, factory.put_void());
    if (FAILED(hr)) {
        // A class registered by another module of the process.
        return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(object));
    }
    return factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(object));
}

}  // namespace brevanto_host
