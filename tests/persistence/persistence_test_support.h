// What the persistence tests share: a read handler that records every event and message as
// text.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "persistence/xml_reader.h"
#include "platform/bstr.h"
#include "support/data_directory.h"

class RecordingHandler : public CXMLReadHelperBase, public CXMLErrorSink {
  public:
    RecordingHandler() : CXMLReadHelperBase(static_cast<CXMLErrorSink*>(this)) {}

    std::vector<std::string> events;
    std::vector<std::string> messages;

    bool OnObject(std::u16string_view name, std::u16string_view type) override {
        events.push_back("obj " + Utf16ToUtf8(name) + ":" + Utf16ToUtf8(type));
        return CXMLReadHelperBase::OnObject(name, type);
    }
    bool OnProperty(std::u16string_view name, std::u16string_view value,
                    std::u16string_view type) override {
        events.push_back("prop " + Utf16ToUtf8(name) + "=" + Utf16ToUtf8(value) + ":" +
                         Utf16ToUtf8(type));
        return CXMLReadHelperBase::OnProperty(name, value, type);
    }
    bool OnOther() override {
        events.push_back("other");
        return CXMLReadHelperBase::OnOther();
    }
    void OnEnd() override {
        events.push_back("end");
        CXMLReadHelperBase::OnEnd();
    }
    void OnXMLError(std::u16string_view message) override {
        messages.push_back(Utf16ToUtf8(message));
    }

    std::string Joined() const {
        std::string all;
        for (const std::string& e : events)
            all += (all.empty() ? "" : "|") + e;
        return all;
    }
};
