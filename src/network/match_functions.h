// Match functions: small built-in objects that a script puts in a packet filter's MatchesPacket
// in place of a script test. Called like a script function with a packet, one answers whether it
// is a logical packet for its area whose join overlaps its join mask and whose opcode is its
// opcode.
#pragma once

#include <algorithm>

#include "interfaces/network.h"
#include "platform/com_object.h"
#include "platform/dispatcher.h"

// IDispatch over the dual interface I for objects that are called as functions: only the
// default member exists, a call flagged as method and property get is a method call, and named
// arguments (a filter passes its `this` as one) are taken as positional ones.
template <class T, class I>
class CDispatchObject : public DispatchImpl<I> {
  public:
    HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) override {
        if (dispid != DISPID_VALUE) return DISP_E_MEMBERNOTFOUND;
        if (flags == (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) flags = DISPATCH_METHOD;
        DISPPARAMS positional{nullptr, nullptr, 0, 0};
        if (params) {
            positional.rgvarg = params->rgvarg;
            positional.cArgs = params->cArgs;
        }
        return DispatchImpl<I>::Invoke(dispid, riid, lcid, flags, &positional, result, excepinfo,
                                       argerr);
    }

  protected:
    ~CDispatchObject() = default;
};

// The packet fields a match function looks at.
struct AreaJoinArgs {
    LONG area = 0;
    BYTE join = 0;
    BYTE opcode = 0;
};
struct AreaLinkArgs {
    LONG area = 0;
    BYTE join = 0;
    BYTE opcode = 0;
};

// The shared algorithm: length check, decode, compare. Immutable after creation, so the objects
// are agile and a port thread calls them without a trip to the script thread.
template <class T, class Args>
class CMatchFunctionBase : public ComObjectRoot<T, CDispatchObject<T, _IMatchPacket>, IMarshal> {
  public:
    static constexpr ULONG kMinimumBytes = 7;

    HRESULT Match(IPacket* pPacket, IDispatch*, LONG* pResult) override {
        if (!pResult) return E_POINTER;
        *pResult = 0;
        BYTE bytes[kMinimumBytes] = {};
        ULONG count = 0;
        if (!pPacket || FAILED(ReadPacketBytes(pPacket, kMinimumBytes, bytes, &count)) ||
            count < kMinimumBytes)
            return S_OK;
        Args args;
        if (FAILED(DecodeArgs(pPacket, bytes, count, &args))) return S_OK;
        *pResult = CompareArgs(args) ? 1 : 0;
        return S_OK;
    }

    virtual ~CMatchFunctionBase() = default;

    // Reads up to `maximum` bytes of the packet into `buffer`. Packets without a byte enumerator
    // report only how many bytes they hold (the buffer stays as it is): the match looks at the
    // decoded fields, the bytes only have to be there.
    virtual HRESULT ReadPacketBytes(IPacket* packet, ULONG maximum, BYTE* buffer, ULONG* count) {
        *count = 0;
        ComPtr<IEnumBYTE> bytes;
        if (SUCCEEDED(packet->GetByteEnum(bytes.put())) && bytes) {
            HRESULT hr = bytes->Next(maximum, buffer, count);
            return FAILED(hr) ? hr : S_OK;  // S_FALSE: fewer bytes, which the count shows
        }
        LONG held = 0;
        HRESULT hr = packet->get_Count(&held);
        if (FAILED(hr)) return hr;
        *count = held < 0 ? 0 : std::min(static_cast<ULONG>(held), maximum);
        return S_OK;
    }
    virtual bool CompareArgs(const Args& args) = 0;
    // Fails for a packet that is not logical.
    virtual HRESULT DecodeArgs(IPacket* packet, const BYTE* bytes, ULONG count, Args* args) {
        (void)bytes;
        (void)count;
        LONG logical = 0;
        HRESULT hr = packet->get_Logical(&logical);
        if (FAILED(hr)) return hr;
        if (!logical) return E_FAIL;
        if (FAILED(hr = packet->get_Area(&args->area))) return hr;
        if (FAILED(hr = packet->get_Join(&args->join))) return hr;
        return packet->get_Opcode(&args->opcode);
    }

  protected:
    CMatchFunctionBase() = default;
};

class CMatchFunctionLogicalAreaJoin
    : public CMatchFunctionBase<CMatchFunctionLogicalAreaJoin, AreaJoinArgs> {
  public:
    // A new match function with one reference; only the low byte of `join` is kept.
    static HRESULT Create(LONG area, LONG join, BYTE opcode, IDispatch** out);

    bool CompareArgs(const AreaJoinArgs& args) override;

  private:
    LONG area_ = 0;
    BYTE join_mask_ = 0;
    BYTE opcode_ = 0;
};

class CMatchFunctionLogicalAreaLinkJoin
    : public CMatchFunctionBase<CMatchFunctionLogicalAreaLinkJoin, AreaLinkArgs> {
  public:
    // A new match function with one reference; only the low byte of `join` is kept.
    static HRESULT Create(LONG base_link_area, LONG area, LONG join, BYTE opcode, IDispatch** out);

    bool CompareArgs(const AreaLinkArgs& args) override;

  private:
    LONG base_link_area_ = 0;
    LONG area_ = 0;
    BYTE join_mask_ = 0;
    BYTE opcode_ = 0;
};
