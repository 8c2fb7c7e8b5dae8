#include "interfaces/dispatch.h"

const InterfaceDesc& IGenericCollection::Describe() {
    using I = IGenericCollection;
    static const InterfaceDesc desc(
        u"IGenericCollection", kIid, nullptr,
        {
            Get<&I::get_Item>(u"Item", 0x0, {Arg(u"Index")}),
            Put<&I::put_Item>(u"Item", 0x0, {Arg(u"Index"), Arg(u"value")}),
            Method<&I::_NewEnum>(u"_NewEnum", DISPID_NEWENUM),
            Get<&I::get_Count>(u"Count", 0x12d),
            Method<&I::Add>(u"Add", 0x12e, {Arg(u"Ob")}),
            Method<&I::Remove>(u"Remove", 0x12f, {Arg(u"Index")}),
            Method<&I::GetSafeArray>(u"GetSafeArray", 0x130, {Arg(u"VarType")}),
            Get<&I::get_length>(u"length", 0x131),
        });
    return desc;
}

const InterfaceDesc& IDataContext::Describe() {
    using I = IDataContext;
    static const InterfaceDesc desc(
        u"IDataContext", kIid, nullptr,
        {
            Method<&I::DestroyDependantObjects>(u"DestroyDependantObjects", I::kFirstDispid),
            Method<&I::AddDependantObject>(u"AddDependantObject", 0x83, {Arg(u"pVal")}),
            Method<&I::RemoveDependantObject>(u"RemoveDependantObject", 0x84, {Arg(u"pVal")}),
            Method<&I::_Breakout>(u"_Breakout", 0x85),
        });
    return desc;
}

const InterfaceDesc& IPlaceHolder::Describe() {
    using I = IPlaceHolder;
    static const InterfaceDesc desc(
        u"IPlaceHolder", kIid, nullptr,
        {
            Get<&I::get_Context>(u"Context", 0x60010000),
            Put<&I::put_Context>(u"Context", 0x60010000, {Arg(u"newVal")}),
            Get<&I::get_Dependant>(u"Dependant", 0x60010002),
            Put<&I::put_Dependant>(u"Dependant", 0x60010002, {Arg(u"newVal")}),
            Method<&I::Register>(u"Register", 0x60010004, {Arg(u"pCallOb")}),
            Method<&I::Remove>(u"Remove", 0x60010005),
        },
        TYPEFLAG_FOLEAUTOMATION);
    return desc;
}

const InterfaceDesc& _IFunction::Describe() {
    static const InterfaceDesc desc(
        u"_IFunction", kIid, nullptr,
        {
            Method<&_IFunction::Call>(u"Call", 0x0, {Arg(u"arg")}),
        },
        TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FHIDDEN);
    return desc;
}
