// What the persistence tests share: a data directory of their own, and a read handler that
// records every event and message as text.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "persistence/xml_reader.h"
#include "platform/bstr.h"

class DataDirectory {
  public:
    DataDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "brevanto-xml-XXXXXX");
        path_ = ::mkdtemp(pattern.data());
        path_ /= "data";
        std::filesystem::create_directory(path_);
    }
    ~DataDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_.parent_path(), ignored);
    }
    std::u16string Path() const { return Utf8ToUtf16(path_.string()); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

    void Put(const std::string& name, const std::string& bytes) const {
        std::ofstream(path_ / name, std::ios::binary) << bytes;
    }
    std::string Get(const std::string& name) const {
        std::ifstream in(path_ / name, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool Has(const std::string& name) const { return std::filesystem::exists(path_ / name); }

  private:
    std::filesystem::path path_;
};

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
