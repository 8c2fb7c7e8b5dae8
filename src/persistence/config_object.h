// The configuration object: a bag of named settings, each an ordinary expando member, read from
// and written to the file "Config" of the data directory. Scripts reach it as Global.Config;
// native code reads single settings with GetValue and GetUnsigned.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "dispatch/dispatch_ex_impl.h"
#include "interfaces/persistence.h"
#include "persistence/xml_reader.h"
#include "platform/com_object.h"
#include "platform/object_safety.h"
#include "platform/variant.h"

// Reads the settings of a configuration file, in either vocabulary: the values directly inside
// the document element, converted by their exact type text; a later value of a name replaces an
// earlier one.
class CConfigReader : public CXMLReadHelperBase {
  public:
    using Values = std::map<std::u16string, CComVariant>;  // ordered by code unit

    void Begin() override;
    void OnEnd() override;
    bool OnObject(std::u16string_view name, std::u16string_view type) override;
    bool OnProperty(std::u16string_view name, std::u16string_view value,
                    std::u16string_view type) override;
    bool OnOther() override;

    const Values& values() const { return values_; }

  private:
    int depth_ = 0;
    Values values_;
};

class CConfigOb : public ComObjectRoot<CConfigOb, IDispatchExImpl<IConfig>, IQuorvaneSerialisable,
                                       MyIObjectSafetyImpl> {
  public:
    static constexpr std::u16string_view kFileName = u"Config";

    CConfigOb();

    // IConfig.
    HRESULT Load() override;
    HRESULT Save() override;

    // IQuorvaneSerialisable: stored as a plain object.
    HRESULT GetTypeName(BSTR* name) override;
    HRESULT get_DynamicMembers(VARIANT_BOOL* enabled) override;
    HRESULT put_DynamicMembers(VARIANT_BOOL enabled) override;
    HRESULT GetMemberNames(VARIANT* names) override;

    // Where Load and Save find the file.
    void SetDataDirectory(std::u16string_view directory) { data_directory_.assign(directory); }
    const std::u16string& DataDirectory() const { return data_directory_; }
    // The setting converted to `type` (as it is for VT_VARIANT or a matching type); empty when
    // there is no such setting or it does not convert.
    CComVariant GetValue(std::u16string_view name, VARTYPE type);
    // The setting as an unsigned 32-bit number; false (and *value untouched) when there is no
    // such setting or it does not convert.
    bool GetUnsigned(std::u16string_view name, ULONG* value);

  private:
    std::u16string data_directory_;
};
