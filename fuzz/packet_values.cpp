// The Packet and PacketFilter script objects given arbitrary values, called by name through
// IDispatch as a script calls them.
//
// The input is a little program: each step picks a member (Assign, PacketToMatch, Item, Add,
// Remove, GetSafeArray, QuickDecode, a header field, a byte by its name) and builds the values
// to pass: numbers, strings (of odd byte lengths too), dates, decimals, script arrays (expando
// objects with a `length` that may lie, indexed members that may be missing, and sometimes
// `count` and `_NewEnum`), enumerators, safe arrays of several element types, dimensions and
// bounds, by-reference values, nested objects, other packets and the packet itself.
//
// Checked beyond the sanitizers: a failed Assign changes nothing, an Assign of a string or a
// byte array gives exactly its bytes, PacketToMatch reads back as bytes and wildcards (one per
// element of an honest script array), the byte count moves only as each member says, and the
// bytes read back alike through Item, GetSafeArray and byte names.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "network/filter_object.h"
#include "script_values.h"

namespace {

using Bytes = std::vector<BYTE>;

// A late-bound call by name with arguments in script order; a put passes its value as the
// named DISPID_PROPERTYPUT argument.
HRESULT Call(IDispatch* object, const char16_t* name, WORD flags, std::vector<VARIANT> args,
             CComVariant* result = nullptr) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID dispid = DISPID_UNKNOWN;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
    if (FAILED(hr)) return hr;
    std::reverse(args.begin(), args.end());
    DISPID put = DISPID_PROPERTYPUT;
    const bool is_put = flags & DISPATCH_PROPERTYPUT;
    DISPPARAMS params{args.data(), is_put ? &put : nullptr, static_cast<UINT>(args.size()),
                      is_put ? 1u : 0u};
    CComVariant ignored;
    hr = object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                        result ? result : &ignored, nullptr, nullptr);
    // FUZZ_TRACE=1 shows what an input does, when replaying a finding.
    static const bool trace = std::getenv("FUZZ_TRACE") != nullptr;
    if (trace) {
        std::fprintf(stderr, "%s", flags & DISPATCH_PROPERTYPUT ? "put " : "");
        for (const char16_t* c = name; *c; ++c)
            std::fputc(static_cast<char>(*c), stderr);
        for (const VARIANT& arg : args)
            std::fprintf(stderr, " vt=%#x", arg.vt);
        std::fprintf(stderr, " -> %#x\n", static_cast<unsigned>(hr));
    }
    return hr;
}

Bytes BytesOf(CPacketOb* packet) {
    ref<PacketBase> p = packet->Packet();
    Bytes bytes(static_cast<std::size_t>(p->ByteCount()));
    p->CopyBytes(bytes.data(), static_cast<LONG>(bytes.size()));
    return bytes;
}

// What Assign must give for the values whose bytes are plain to see.
std::optional<Bytes> PlainBytes(const VARIANT& value) {
    if (value.vt == VT_BSTR && value.bstrVal) {
        const BYTE* raw = reinterpret_cast<const BYTE*>(value.bstrVal);
        return Bytes(raw, raw + SysStringByteLen(value.bstrVal));
    }
    if (value.vt == (VT_ARRAY | VT_UI1) && SafeArrayGetDim(value.parray) == 1) {
        const BYTE* data = static_cast<const BYTE*>(value.parray->pvData);
        return Bytes(data, data + value.parray->rgsabound[0].cElements);
    }
    return std::nullopt;
}

std::vector<CComVariant> PatternOf(IDispatch* filter) {
    CComVariant array;
    FUZZ_CHECK(Call(filter, u"PacketToMatch", DISPATCH_PROPERTYGET, {}, &array) == S_OK);
    FUZZ_CHECK(array.vt == (VT_ARRAY | VT_VARIANT) && SafeArrayGetDim(array.parray) == 1);
    LONG lower = -1, upper = -2;
    SafeArrayGetLBound(array.parray, 1, &lower);
    SafeArrayGetUBound(array.parray, 1, &upper);
    FUZZ_CHECK(lower == 0 && upper >= -1);
    std::vector<CComVariant> elements;
    for (LONG i = 0; i <= upper; ++i) {
        CComVariant element;
        FUZZ_CHECK(SafeArrayGetElement(array.parray, &i, &element) == S_OK);
        FUZZ_CHECK(element.vt == VT_UI1 || element.vt == VT_EMPTY);
        elements.push_back(std::move(element));
    }
    return elements;
}

bool SamePattern(const std::vector<CComVariant>& a, const std::vector<CComVariant>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const VARIANT& x, const VARIANT& y) {
                          return x.vt == y.vt && (x.vt != VT_UI1 || x.bVal == y.bVal);
                      });
}

void CheckBytesReadAlike(CPacketOb* packet, IDispatch* object) {
    const Bytes bytes = BytesOf(packet);
    CComVariant count;
    FUZZ_CHECK(Call(object, u"Count", DISPATCH_PROPERTYGET, {}, &count) == S_OK);
    FUZZ_CHECK(count.vt == VT_I4 && count.lVal == static_cast<LONG>(bytes.size()));
    CComVariant array;
    FUZZ_CHECK(Call(object, u"GetSafeArray", DISPATCH_METHOD, {CComVariant(LONG{VT_UI1})},
                    &array) == S_OK);
    FUZZ_CHECK(PlainBytes(array) == bytes);
    // The first and last bytes by index and by name; one past the end is no byte.
    for (LONG index : {LONG{0}, count.lVal - 1, count.lVal}) {
        CComVariant byte;
        const HRESULT hr = Call(object, u"Item", DISPATCH_PROPERTYGET, {CComVariant(index)}, &byte);
        if (index < 0 || index >= count.lVal) {
            FUZZ_CHECK(hr == E_INVALIDARG);
            continue;
        }
        FUZZ_CHECK(hr == S_OK && byte.vt == VT_UI1 && byte.bVal == bytes[index]);
        if (index >= kMaxByteNames) continue;  // bytes that far out have no names
        CComVariant named;
        const std::u16string name = Number(index);
        FUZZ_CHECK(Call(object, name.c_str(), DISPATCH_PROPERTYGET, {}, &named) == S_OK);
        FUZZ_CHECK(named.vt == VT_UI1 && named.bVal == bytes[index]);
    }
}

constexpr const char16_t* kHeaderFields[] = {
    u"Logical", u"Opcode", u"Area",  u"Join",  u"DeviceCode", u"BoxNumber",        u"Fade",
    u"Channel", u"Sync",   u"Block", u"Delay", u"PortNumber", u"DestinationPorts", u"PacketTime"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    ComPtr<CPacketOb> packet;
    ComPtr<CPacketFilter> filter;
    FUZZ_CHECK(SUCCEEDED(MakeComObject(&packet)) && SUCCEEDED(MakeComObject(&filter)));
    IDispatch* p = packet.As<IDispatch>().get();
    ComPtr<IDispatch> f = filter.As<IDispatch>();
    {
        ValueMaker values(input, p);
        for (int step = 0; step < 16 && input.remaining() > 0; ++step) {
            const Bytes before = BytesOf(packet.get());
            const LONG count = static_cast<LONG>(before.size());
            switch (input.InRange(0, 9)) {
                case 0:
                case 1: {
                    const CComVariant value = values.Make();
                    const HRESULT hr = Call(p, u"Assign", DISPATCH_METHOD, {value});
                    if (FAILED(hr)) {
                        FUZZ_CHECK(BytesOf(packet.get()) == before);
                    } else if (const auto plain = PlainBytes(value)) {
                        FUZZ_CHECK(BytesOf(packet.get()) == *plain);
                    }
                    break;
                }
                case 2:
                case 3: {
                    const CComVariant value = values.Make();
                    const std::vector<CComVariant> old_pattern = PatternOf(f.get());
                    const HRESULT hr =
                        Call(f.get(), u"PacketToMatch", DISPATCH_PROPERTYPUT, {value});
                    FUZZ_CHECK(hr == S_OK || hr == E_FAIL);
                    const std::vector<CComVariant> pattern = PatternOf(f.get());
                    CComVariant plain;
                    VariantCopyInd(&plain, &value);
                    if (plain.vt != VT_DISPATCH) {
                        FUZZ_CHECK(hr == E_FAIL && SamePattern(pattern, old_pattern));
                    } else if (const auto length = values.HonestLength(plain.pdispVal)) {
                        // One entry per element, byte or wildcard; an empty array fails.
                        FUZZ_CHECK(pattern.size() == static_cast<std::size_t>(*length));
                        FUZZ_CHECK(hr == (*length > 0 ? S_OK : E_FAIL));
                    }
                    break;
                }
                case 4: {
                    const CComVariant index = values.Make();
                    const CComVariant value = values.Make();
                    const HRESULT hr = Call(p, u"Item", DISPATCH_PROPERTYPUT, {index, value});
                    const LONG now = static_cast<LONG>(BytesOf(packet.get()).size());
                    FUZZ_CHECK(now >= count && now <= std::max(count, kMaxGrownPacket));
                    if (hr == S_OK) FUZZ_CHECK(now > 0);
                    break;
                }
                case 5: {
                    const HRESULT hr = Call(p, u"Add", DISPATCH_METHOD, {values.Make()});
                    FUZZ_CHECK(BytesOf(packet.get()).size() == before.size() + (hr == S_OK));
                    break;
                }
                case 6: {
                    const HRESULT hr = Call(p, u"Remove", DISPATCH_METHOD, {values.Make()});
                    FUZZ_CHECK(BytesOf(packet.get()).size() + (hr == S_OK) == before.size());
                    break;
                }
                case 7: {
                    CComVariant result;
                    Call(p, input.Bool() ? u"GetSafeArray" : u"Item", DISPATCH_METHOD,
                         {values.Make()}, &result);
                    FUZZ_CHECK(BytesOf(packet.get()) == before);
                    break;
                }
                case 8: {
                    const char16_t* field =
                        kHeaderFields[input.InRange<std::size_t>(0, std::size(kHeaderFields) - 1)];
                    Call(p, field, DISPATCH_PROPERTYPUT, {values.Make()});
                    CComVariant read;
                    Call(p, field, DISPATCH_PROPERTYGET, {}, &read);
                    if (input.Bool()) Call(p, u"QuickDecode", DISPATCH_METHOD, {});
                    FUZZ_CHECK(BytesOf(packet.get()) == before);
                    break;
                }
                default: {
                    // A byte by its name, as `packet[n]` in a script.
                    const std::u16string name =
                        Number(input.InRange<long long>(-1, input.Bool() ? 20 : 9999999999LL));
                    CComVariant read;
                    Call(p, name.c_str(), DISPATCH_PROPERTYGET, {}, &read);
                    break;
                }
            }
            CheckBytesReadAlike(packet.get(), p);
        }
    }
    filter.As<IDestroy>()->Destroy();  // the filter and its object hold each other
    return 0;
}
