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

}  // namespace brevanto_host
