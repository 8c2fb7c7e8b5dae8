// Raising script errors from native code: the texts and error objects that native functions
// called by script report their failures with; and what becomes of the errors of script
// functions that the library calls.
#include <string>

#include "host/engine_internal.h"

namespace brevanto_host {

duk_ret_t ThrowFailure(duk_context* ctx, const Failure& failure) {
    // No C file and line: the error is blamed on the script line that made the call.
    duk_push_error_object_raw(ctx, failure.type, nullptr, 0, "%s", failure.message);
    if (failure.hr != 0) {
        duk_push_int(ctx, failure.hr);
        duk_put_prop_string(ctx, -2, "number");
    }
    duk_push_string(ctx, failure.message);
    duk_put_prop_string(ctx, -2, "description");
    return duk_throw(ctx);
}

// Plain-language texts of the status codes a page meets most.
const char* StatusText(HRESULT hr) {
    switch (hr) {
        case DISP_E_UNKNOWNNAME:
            return "Object doesn't support this property or method";
        case DISP_E_MEMBERNOTFOUND:
            return "Member not found";
        case DISP_E_TYPEMISMATCH:
            return "Type mismatch";
        case DISP_E_BADPARAMCOUNT:
            return "Wrong number of arguments or invalid property assignment";
        case DISP_E_PARAMNOTFOUND:
            return "Parameter not found";
        case DISP_E_OVERFLOW:
            return "Overflow";
        case DISP_E_BADINDEX:
            return "Subscript out of range";
        case E_INVALIDARG:
            return "Invalid argument";
        case E_POINTER:
            return "Invalid pointer";
        case E_NOTIMPL:
            return "Not implemented";
        case E_OUTOFMEMORY:
            return "Out of memory";
        case E_NOINTERFACE:
            return "No such interface supported";
        case RPC_E_DISCONNECTED:
            return "The object's apartment has ended";
        case CO_E_CLASSSTRING:
            return "Invalid class string";
        case REGDB_E_CLASSNOTREG:
            return "Class not registered";
        default:
            return "Unspecified error";
    }
}

size_t Bridge::EnterLibraryCall() noexcept {
    ++errors_.library_calls;
    return errors_.pending.size();
}

void Bridge::LeaveLibraryCall(size_t mark, bool failed) noexcept {
    --errors_.library_calls;
    if (errors_.pending.size() <= mark) return;
    if (!failed) {
        // The library went on as if nothing happened (a filter or event callback): the errors
        // would be lost, so they are reported, as a browser reports an event listener's.
        for (size_t i = mark; i < errors_.pending.size(); ++i)
            engine_->Report(errors_.pending[i]);
    }
    errors_.pending.resize(mark);
}

void Bridge::CallbackFailed(const ScriptError& error) noexcept {
    if (errors_.library_calls == 0) {
        engine_->Report(error);
        return;
    }
    try {
        errors_.pending.push_back(error);
    } catch (...) {
        engine_->Report(error);
    }
}

void SetCallFailure(Failure* failure, const char* member, HRESULT hr, const ExcepInfo& info) {
    if (hr == DISP_E_EXCEPTION && info.scode != 0) hr = info.scode;
    std::string description =
        info.bstrDescription ? Utf16ToUtf8(info.bstrDescription) : std::string(StatusText(hr));
    failure->Set(hr, "%s: %s (0x%08X)", member, description.c_str(), static_cast<unsigned>(hr));
}

}  // namespace brevanto_host
