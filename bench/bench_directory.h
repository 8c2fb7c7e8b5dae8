// A data directory of the benchmarks' own: a fresh temporary directory, removed with its files
// when the benchmark is done.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "platform/bstr.h"

class BenchDirectory {
  public:
    BenchDirectory() {
        std::string pattern = std::filesystem::temp_directory_path() / "brevanto-bench-XXXXXX";
        path_ = ::mkdtemp(pattern.data());
    }
    ~BenchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    BenchDirectory(const BenchDirectory&) = delete;
    BenchDirectory& operator=(const BenchDirectory&) = delete;

    std::u16string Path() const { return Utf8ToUtf16(path_.string()); }
    void Put(const std::string& name, const std::string& text) const {
        std::ofstream(path_ / name) << text;
    }

  private:
    std::filesystem::path path_;
};
