#include "interfaces/runtime.h"

const InterfaceDesc& IDLTimer::Describe() {
    using I = IDLTimer;
    static const InterfaceDesc desc(u"IDLTimer", kIid, nullptr,
                                    {
                                        Get<&I::get_Period>(u"Period", 0x1d7),
                                        Put<&I::put_Period>(u"Period", 0x1d7, {Arg(u"newVal")}),
                                        Get<&I::get_OneShot>(u"OneShot", 0x1d8),
                                        Put<&I::put_OneShot>(u"OneShot", 0x1d8, {Arg(u"newVal")}),
                                        Get<&I::get_Name>(u"Name", 0x1d9),
                                        Put<&I::put_Name>(u"Name", 0x1d9, {Arg(u"newVal")}),
                                        Method<&I::Start>(u"Start", 0x1da),
                                        Method<&I::Cancel>(u"Cancel", 0x1db),
                                        Get<&I::get_Callback>(u"Callback", 0x1dc),
                                        Put<&I::put_Callback>(u"Callback", 0x1dc, {Arg(u"newVal")}),
                                        Get<&I::get_Enabled>(u"Enabled", 0x1de),
                                        Get<&I::get_id>(u"id", 0x1e2),
                                    });
    return desc;
}
