#include "interfaces/backlight.h"

const InterfaceDesc& IBacklightController::Describe() {
    using I = IBacklightController;
    static const InterfaceDesc desc(
        u"IBacklightController", kIid, nullptr,
        {
            Put<&I::put_Level>(u"Level", 0x1, {Arg(u"newVal")}),
            Get<&I::get_Level>(u"Level", 0x1),
            Put<&I::put_State>(u"State", 0x2, {Arg(u"newVal", VT_BOOL)}),
            Get<&I::get_State>(u"State", 0x2, {}, VT_BOOL),
            Put<&I::put_OnLevel>(u"OnLevel", 0x3, {Arg(u"newVal")}),
            Get<&I::get_OnLevel>(u"OnLevel", 0x3),
            Put<&I::put_Delay>(u"Delay", 0x4, {Arg(u"newVal")}),
            Get<&I::get_Delay>(u"Delay", 0x4),
            Method<&I::Start>(u"Start", 0x60020008),
            Method<&I::Stop>(u"Stop", 0x60020009),
            Method<&I::UserActivity>(u"UserActivity", 0x6002000a),
            Method<&I::SaveSettings>(u"SaveSettings", 0x6002000b),
            Put<&I::put_StandbyLevel>(u"StandbyLevel", 0xa, {Arg(u"newVal")}),
            Get<&I::get_StandbyLevel>(u"StandbyLevel", 0xa),
            Method<&I::Pause>(u"Pause", 0x6002000e),
            Method<&I::Unpause>(u"Unpause", 0x6002000f),
        });
    return desc;
}
