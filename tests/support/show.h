// Values as short text, so that a table row states what it expects on one line and a failure
// shows what came instead: bytes as hex ("1C 01 FF"), variants as "type value" ("I4 12").
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "platform/bstr.h"
#include "platform/variant.h"

inline std::string Hex(const std::vector<BYTE>& bytes) {
    std::string text;
    char buffer[4];
    for (BYTE b : bytes) {
        std::snprintf(buffer, sizeof buffer, "%02X", b);
        text += (text.empty() ? "" : " ") + std::string(buffer);
    }
    return text;
}

inline std::vector<BYTE> FromHex(const std::string& text) {
    std::vector<BYTE> bytes;
    std::istringstream in(text);
    unsigned value = 0;
    while (in >> std::hex >> value)
        bytes.push_back(static_cast<BYTE>(value));
    return bytes;
}

inline std::string ShowVariant(const VARIANT& value) {
    static const std::pair<VARTYPE, const char*> kNames[] = {
        {VT_EMPTY, "EMPTY"}, {VT_NULL, "NULL"},         {VT_I2, "I2"},     {VT_I4, "I4"},
        {VT_R8, "R8"},       {VT_BSTR, "BSTR"},         {VT_BOOL, "BOOL"}, {VT_UI1, "UI1"},
        {VT_UI4, "UI4"},     {VT_DISPATCH, "DISPATCH"}, {VT_DATE, "DATE"}, {VT_ERROR, "ERROR"}};
    std::string type = std::to_string(value.vt);
    for (const auto& [vt, name] : kNames)
        if (vt == value.vt) type = name;
    if (value.vt == VT_EMPTY || value.vt == VT_NULL || value.vt == VT_DISPATCH) return type;
    if (value.vt == VT_BOOL) return type + (value.boolVal ? " true" : " false");
    CComVariant text;
    if (FAILED(VariantChangeType(&text, const_cast<VARIANT*>(&value), 0, VT_BSTR)))
        return type + " ?";
    return type + " " + Utf16ToUtf8(text.bstrVal ? text.bstrVal : u"");
}
