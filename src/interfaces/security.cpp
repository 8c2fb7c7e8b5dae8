#include "interfaces/security.h"

const InterfaceDesc& IHxSecurity::Describe() {
    using I = IHxSecurity;
    static const InterfaceDesc desc(
        u"IHxSecurity", kIid, nullptr,
        {
            Get<&I::get_CurrentUser>(u"CurrentUser", 0x60030000),
            Get<&I::get_Users>(u"Users", 0x60030001),
            Method<&I::CheckUserLevel>(u"CheckUserLevel", 0x60030002, {Arg(u"Level")}),
            Method<&I::IsAdmin>(u"IsAdmin", 0x60030003),
            Method<&I::Logout>(u"Logout", 0x60030004),
            Method<&I::Login>(u"Login", 0x60030005, {Arg(u"passCode")}),
            Method<&I::AddUser>(u"AddUser", 0x60030006,
                                {Arg(u"userName"), Arg(u"passCode"), Arg(u"securityLevels")}),
            Method<&I::SetUserLevels>(u"SetUserLevels", 0x60030007,
                                      {Arg(u"userName"), Arg(u"securityLevels")}),
            Method<&I::GetUserLevels>(u"GetUserLevels", 0x60030008, {Arg(u"userName")}),
            Method<&I::SetPassword>(u"SetPassword", 0x60030009,
                                    {Arg(u"userName"), Arg(u"passCode")}),
            Get<&I::get_AutoLogout>(u"AutoLogout", 0x6003000a),
            Put<&I::put_AutoLogout>(u"AutoLogout", 0x6003000a, {Arg(u"newVal")}),
            Method<&I::ResetAutoLogout>(u"ResetAutoLogout", 0x6003000c),
        });
    return desc;
}
