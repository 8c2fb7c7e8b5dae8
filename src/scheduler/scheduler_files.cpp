#include "scheduler/scheduler_files.h"

#include <string>

#include "dispatch/disp_ex_object.h"
#include "platform/com_object.h"
#include "platform/script_call.h"
#include "platform/variant.h"
#include "scheduler/public_holiday.h"
#include "scheduler/schedule.h"

namespace {

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The text converted with the standard variant conversion; false when it does not convert.
bool Convert(std::u16string_view text, VARTYPE type, CComVariant* out) {
    CComVariant source(std::u16string(text).c_str());
    return SUCCEEDED(VariantChangeType(out, &source, 0, type));
}

template <class T>
ComPtr<IDispatch> NewScriptObject() {
    ComPtr<T> object;
    if (FAILED(MakeComObject(&object))) return nullptr;
    return ComPtr<IDispatch>(static_cast<IDispatch*>(object.get()));
}

}  // namespace

// ---- CLocaleReader ----

void CLocaleReader::Begin() {
    CXMLReadHelperBase::Begin();
    depth_ = 0;
    record_ = LocaleRecord{};
}

void CLocaleReader::OnEnd() {
    if (TopKind() == kObject) --depth_;
    CXMLReadHelperBase::OnEnd();
}

bool CLocaleReader::OnObject(std::u16string_view name, std::u16string_view type) {
    ++depth_;
    return CXMLReadHelperBase::OnObject(name, type);
}

bool CLocaleReader::OnProperty(std::u16string_view name, std::u16string_view value,
                               std::u16string_view type) {
    if (depth_ == 1) {
        CComVariant converted;
        if (SameName(name, u"lat")) {
            if (Convert(value, VT_R4, &converted)) record_.lat = converted.fltVal;
        } else if (SameName(name, u"long")) {
            if (Convert(value, VT_R4, &converted)) record_.lng = converted.fltVal;
        } else if (SameName(name, u"city")) {
            record_.city = value;
        } else if (SameName(name, u"country")) {
            record_.country = value;
        } else if (SameName(name, u"timezone")) {
            record_.timezone = value;
        } else if (SameName(name, u"UseDaylightSaving")) {
            record_.use_daylight_saving =
                Convert(value, VT_BOOL, &converted) && converted.boolVal == VARIANT_TRUE;
        }
    }
    return CXMLReadHelperBase::OnProperty(name, value, type);
}

// ---- Collection files ----

void CCollectionFileReader::Begin() {
    CJScriptReadHelper::Begin();
    objects_.clear();
}

ComPtr<IDispatch> CCollectionFileReader::CreateObject(std::size_t depth, std::u16string_view type) {
    if (depth == 0) {
        // The document element stands for the collection. The files are read at start-up,
        // when the host may have no page engine yet to make a script array: a native one
        // holds the elements then.
        ComPtr<IDispatch> root = CJScriptReadHelper::CreateObject(depth, type);
        ComPtr<CDispExObject> array;
        if (!root && SameName(type, type_text::kArray) &&
            SUCCEEDED(MakeComObject(&array, std::u16string(type_text::kArray))))
            root = static_cast<IDispatchEx*>(array.get());
        return root;
    }
    if (depth != 1) return CJScriptReadHelper::CreateObject(depth, type);
    ComPtr<IDispatch> element = CreateElement();
    if (element) objects_.push_back(element);
    return element;
}

ComPtr<IDispatch> CScheduleReader::CreateElement() {
    return NewScriptObject<CSchedule>();
}

ComPtr<IDispatch> CPublicHolidayReader::CreateObject(std::size_t depth, std::u16string_view type) {
    if (depth == 0 && !SameName(type, u"array")) return nullptr;
    return CCollectionFileReader::CreateObject(depth, type);
}

ComPtr<IDispatch> CPublicHolidayReader::CreateElement() {
    return NewScriptObject<CPublicHoliday>();
}

// ---- CScheduleWriter ----

void CScheduleWriter::WriteDocument(CXMLElementWriter& out) {
    if (!collection_) return;
    // A snapshot array of the collection: its length, then the elements it answers to.
    ComPtr<CDispExObject> array;
    if (FAILED(MakeComObject(&array, std::u16string(type_text::kArray)))) return;
    LONG length = 0;
    if (FAILED(ReadScriptArrayLength(collection_.get(), &length))) return;
    array->members().SetValue(u"length", CComVariant(length));
    for (LONG i = 0; i < length; ++i) {
        CComVariant index(i), element;
        DISPPARAMS params{&index, nullptr, 1, 0};
        if (FAILED(collection_->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT,
                                       DISPATCH_PROPERTYGET, &params, &element, nullptr, nullptr)))
            continue;
        array->members().SetValue(std::u16string(Utf8ToUtf16(std::to_string(i))), element);
    }
    CJavascriptXMLWriter(static_cast<IDispatchEx*>(array.get())).WriteDocument(out);
}
