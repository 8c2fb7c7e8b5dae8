#include "network/match_functions.h"

namespace {

template <class T>
HRESULT HandOut(ComPtr<T>& object, IDispatch** out) {
    *out = static_cast<IDispatch*>(static_cast<_IMatchPacket*>(object.Detach()));
    return S_OK;
}

}  // namespace

HRESULT CMatchFunctionLogicalAreaJoin::Create(LONG area, LONG join, BYTE opcode, IDispatch** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<CMatchFunctionLogicalAreaJoin> match;
    HRESULT hr = MakeComObject(&match);
    if (FAILED(hr)) return hr;
    match->area_ = area;
    match->join_mask_ = static_cast<BYTE>(join & 0xFF);
    match->opcode_ = opcode;
    return HandOut(match, out);
}

bool CMatchFunctionLogicalAreaJoin::CompareArgs(const AreaJoinArgs& args) {
    if (args.opcode != opcode_) return false;
    if (args.area != area_ && args.area != 0) return false;
    return (args.join & join_mask_) != 0;
}

HRESULT CMatchFunctionLogicalAreaLinkJoin::Create(LONG base_link_area, LONG area, LONG join,
                                                  BYTE opcode, IDispatch** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<CMatchFunctionLogicalAreaLinkJoin> match;
    HRESULT hr = MakeComObject(&match);
    if (FAILED(hr)) return hr;
    match->base_link_area_ = base_link_area;
    match->area_ = area;
    match->join_mask_ = static_cast<BYTE>(join & 0xFF);
    match->opcode_ = opcode;
    return HandOut(match, out);
}

bool CMatchFunctionLogicalAreaLinkJoin::CompareArgs(const AreaLinkArgs& args) {
    if (args.opcode != opcode_) return false;
    if (args.area != area_ && args.area != 0 && args.area != base_link_area_) return false;
    return (args.join & join_mask_) != 0;
}
