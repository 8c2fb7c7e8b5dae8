#include "persistence/config_object.h"

#include "persistence/script_serialisation.h"
#include "persistence/xml_writer.h"
#include "platform/boundary.h"

// ---- CConfigReader ----

void CConfigReader::Begin() {
    CXMLReadHelperBase::Begin();
    depth_ = 0;
    values_.clear();
}

void CConfigReader::OnEnd() {
    CXMLReadHelperBase::OnEnd();
    --depth_;
}

bool CConfigReader::OnObject(std::u16string_view name, std::u16string_view type) {
    ++depth_;
    return CXMLReadHelperBase::OnObject(name, type);
}

bool CConfigReader::OnProperty(std::u16string_view name, std::u16string_view value,
                               std::u16string_view type) {
    // Only the settings directly inside the document element count.
    if (depth_ == 1) values_[std::u16string(name)] = ValueFromTypedText(value, type, true);
    ++depth_;
    return CXMLReadHelperBase::OnProperty(name, value, type);
}

bool CConfigReader::OnOther() {
    ++depth_;
    return CXMLReadHelperBase::OnOther();
}

// ---- CConfigOb ----

CConfigOb::CConfigOb() {
    DispatchExMembers().set_expandable(true);
}

HRESULT CConfigOb::Load() {
    return StatusOf([&] {
        CXMLLogSink log;
        CConfigReader reader;
        reader.error_sink = &log;
        CDOMReader(data_directory_).Read(kFileName, &reader);
        // A missing or broken file changes nothing it did not deliver.
        for (const auto& [name, value] : reader.values())
            DispatchExMembers().SetValue(name, value);
        return S_OK;
    });
}

HRESULT CConfigOb::Save() {
    StatusOf([&] {
        CJavascriptXMLWriter source(static_cast<IConfig*>(this));
        return CXMLWriter(data_directory_).Write(kFileName, source);
    });
    return S_OK;
}

HRESULT CConfigOb::GetTypeName(BSTR* name) {
    if (!name) return E_POINTER;
    *name = SysAllocString(u"Object");
    return *name ? S_OK : E_OUTOFMEMORY;
}

HRESULT CConfigOb::get_DynamicMembers(VARIANT_BOOL* enabled) {
    if (!enabled) return E_POINTER;
    *enabled = DispatchExMembers().expandable() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CConfigOb::put_DynamicMembers(VARIANT_BOOL enabled) {
    DispatchExMembers().set_expandable(enabled == VARIANT_TRUE);
    return S_OK;
}

HRESULT CConfigOb::GetMemberNames(VARIANT* names) {
    return DispatchExMembers().GetMemberNames(names);
}

CComVariant CConfigOb::GetValue(std::u16string_view name, VARTYPE type) {
    CComVariant value;
    IDispatchExImplRaw& members = DispatchExMembers();
    DISPID dispid = members.Find(name, 0);
    if (dispid == DISPID_UNKNOWN || FAILED(members.GetValue(dispid, &value))) return {};
    if (type == VT_VARIANT || value.vt == type) return value;
    CComVariant converted;
    if (FAILED(VariantChangeType(&converted, &value, 0, type))) return {};
    return converted;
}

bool CConfigOb::GetUnsigned(std::u16string_view name, ULONG* value) {
    CComVariant setting = GetValue(name, VT_UI4);
    if (setting.vt != VT_UI4) return false;
    *value = setting.ulVal;
    return true;
}
