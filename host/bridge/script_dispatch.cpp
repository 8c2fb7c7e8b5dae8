#include "host/bridge/script_dispatch.h"

namespace brevanto_bridge {

HRESULT ScriptFailure(const brevanto_host::ScriptError& error, EXCEPINFO* excepinfo) {
    if (!excepinfo) return FAILED(error.number) ? error.number : DISP_E_EXCEPTION;
    *excepinfo = EXCEPINFO{};
    excepinfo->bstrDescription = SysAllocString(Utf8ToUtf16(error.message).c_str());
    if (!error.file.empty()) {
        std::string source = error.file + ":" + std::to_string(error.line);
        excepinfo->bstrSource = SysAllocString(Utf8ToUtf16(source).c_str());
    }
    excepinfo->scode = FAILED(error.number) ? error.number : E_FAIL;
    return DISP_E_EXCEPTION;
}

}  // namespace brevanto_bridge
