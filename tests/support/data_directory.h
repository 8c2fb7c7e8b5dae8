// A data directory of the test's own, removed with everything in it at the end.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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
