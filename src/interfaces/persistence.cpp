#include "interfaces/persistence.h"

const InterfaceDesc& IConfig::Describe() {
    static const InterfaceDesc desc(u"IConfig", kIid, nullptr,
                                    {
                                        Method<&IConfig::Load>(u"Load", 0x60030000),
                                        Method<&IConfig::Save>(u"Save", 0x60030001),
                                    });
    return desc;
}
