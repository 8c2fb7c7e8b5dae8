#include "host/bridge/script_call.h"

namespace brevanto_bridge {

DISPID ScriptMemberIds::IdOf(const std::string& name) {
    auto found = ids_.find(name);
    if (found != ids_.end()) return found->second;
    names_.push_back(name);
    const DISPID dispid = static_cast<DISPID>(names_.size());
    ids_.emplace(name, dispid);
    return dispid;
}

const std::string* ScriptMemberIds::NameOf(DISPID dispid) const {
    if (dispid < 1 || static_cast<size_t>(dispid) > names_.size()) return nullptr;
    return &names_[dispid - 1];
}

ScriptRequest UnderstandScriptCall(DISPID dispid, WORD flags, const DISPPARAMS& params,
                                   const ScriptMemberIds& members, bool callable) {
    using Kind = ScriptRequest::Kind;
    ScriptRequest request;
    if (dispid == DISPID_NEWENUM) {
        request.kind = Kind::kEnumerate;
        return request;
    }
    // Named arguments stand first; the positional ones follow, last first.
    for (UINT i = 0; i < params.cNamedArgs; ++i) {
        if (params.rgdispidNamedArgs[i] == DISPID_THIS) request.self = &params.rgvarg[i];
        if (params.rgdispidNamedArgs[i] == DISPID_PROPERTYPUT) request.value = &params.rgvarg[i];
    }
    const UINT positional = params.cArgs - params.cNamedArgs;
    for (UINT i = 0; i < positional; ++i)
        request.arguments.push_back(&params.rgvarg[params.cArgs - 1 - i]);

    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        request.name = members.NameOf(dispid);
        if (!request.name) return request;
        if (!request.value) {
            if (positional == 0) {
                request.status = DISP_E_PARAMNOTOPTIONAL;
                return request;
            }
            request.value = &params.rgvarg[0];
        }
        request.arguments.clear();
        request.kind = Kind::kPut;
        return request;
    }
    if (dispid == DISPID_VALUE) {
        if ((flags & (DISPATCH_METHOD | DISPATCH_CONSTRUCT)) && callable)
            request.kind = (flags & DISPATCH_CONSTRUCT) ? Kind::kConstruct : Kind::kCall;
        else if (flags & DISPATCH_PROPERTYGET)
            request.kind = Kind::kText;  // the default value of a script object is its text
        return request;
    }
    request.name = members.NameOf(dispid);
    if (!request.name) return request;
    request.kind = Kind::kGet;
    request.call_if_function = (flags & DISPATCH_METHOD) != 0;
    request.must_be_function = !(flags & DISPATCH_PROPERTYGET);
    return request;
}

}  // namespace brevanto_bridge
