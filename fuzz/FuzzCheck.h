#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Harness helpers shared by the fuzz targets and their replay tests. A broken invariant prints
// what broke and aborts, so libFuzzer keeps the input and a replay test fails on it.
namespace folioxa::fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* what,
                              const std::string& detail) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s %s\n", file, line, what, detail.c_str());
    std::abort();
}

// Reads the fuzzer's bytes front to back; past the end every read gives zero / empty.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}

    std::uint8_t Byte() { return FPos < FSize ? FData[FPos++] : 0; }
    std::uint32_t UInt32() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = (value << 8) | Byte();
        }
        return value;
    }
    // The bytes up to the next `delimiter` (consumed, not returned) or the end.
    std::string Until(char delimiter) {
        std::string text;
        while (FPos < FSize && static_cast<char>(FData[FPos]) != delimiter) {
            text += static_cast<char>(FData[FPos++]);
        }
        if (FPos < FSize) {
            ++FPos;
        }
        return text;
    }
    std::string Rest() {
        std::string text(reinterpret_cast<const char*>(FData) + FPos, FSize - FPos);
        FPos = FSize;
        return text;
    }
    std::size_t Remaining() const { return FSize - FPos; }

private:
    const std::uint8_t* FData;
    std::size_t FSize;
    std::size_t FPos = 0;
};

} // namespace folioxa::fuzz

#define FUZZ_CHECK(condition, detail)                                                              \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::folioxa::fuzz::Fail(__FILE__, __LINE__, #condition, (detail));                       \
        }                                                                                          \
    } while (false)
