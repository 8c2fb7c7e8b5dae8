// What the fuzz targets share: reading an input front to back as a little program, and
// invariants that must hold for any input.
//
// Numbers are little-endian and as wide as their type, or as narrow as the range they are
// wanted in; strings are a length byte and then their bytes. Reading past the end gives zeros,
// so every input is a valid program and seeds are easy to write by hand.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <type_traits>

#include <unistd.h>

// A broken invariant ends the run the way a sanitizer report does, so that libFuzzer keeps the
// input that broke it.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t remaining() const { return size_ - used_; }

    template <class T>
    T Integral() {
        static_assert(std::is_integral_v<T>);
        using U = std::make_unsigned_t<T>;
        U value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            value |= static_cast<U>(static_cast<U>(Byte()) << (8 * i));
        return static_cast<T>(value);
    }
    // In [low, high], from the fewest bytes that cover the range.
    template <class T>
    T InRange(T low, T high) {
        using U = std::make_unsigned_t<T>;
        const U span = static_cast<U>(static_cast<U>(high) - static_cast<U>(low));
        U value = 0;
        for (std::size_t shift = 0; shift < 8 * sizeof(T) && (span >> shift) != 0; shift += 8)
            value |= static_cast<U>(static_cast<U>(Byte()) << shift);
        if (span != static_cast<U>(-1)) value %= static_cast<U>(span + 1);
        return static_cast<T>(static_cast<U>(low) + value);
    }
    bool Bool() { return Byte() & 1; }
    template <class T>
    T Floating() {
        static_assert(std::is_floating_point_v<T>);
        std::uint8_t bytes[sizeof(T)];
        for (std::uint8_t& b : bytes)
            b = Byte();
        T value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
    // Up to `max` bytes.
    std::string String(std::size_t max) {
        const std::size_t length = Byte() % (max + 1);
        std::string text;
        for (std::size_t i = 0; i < length && remaining() > 0; ++i)
            text.push_back(static_cast<char>(Byte()));
        return text;
    }

  private:
    std::uint8_t Byte() { return used_ < size_ ? data_[used_++] : 0; }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t used_ = 0;
};

// A directory of this process's own under the system's temporary directory, for the files of
// an input (a target empties it before each one); made on the first call.
inline const std::filesystem::path& ScratchDirectory() {
    static const std::filesystem::path dir = [] {
        std::filesystem::path made = std::filesystem::temp_directory_path() /
                                     ("brevanto-fuzz-scratch-" + std::to_string(::getpid()));
        std::filesystem::create_directories(made);
        return made;
    }();
    return dir;
}
