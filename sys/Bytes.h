// sys: byte-order and hex-digit helpers.
//
// Offers the value of a hexadecimal digit and of a run of digits, bytes as
// hexadecimal text and back, and big- and little-endian reads and writes of 16- and 32-bit fields
// in byte buffers. The caller makes sure the bytes are there; nothing here
// checks a length.
// Relies on: nothing but the C++ standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// 0 to 15 for '0'-'9', 'a'-'f' and 'A'-'F'; -1 for any other character.
constexpr int hexDigitValue(char c) {
    return (c >= '0' && c <= '9')   ? c - '0'
           : (c >= 'a' && c <= 'f') ? c - 'a' + 10
           : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                    : -1;
}

// `n` bytes as upper-case hexadecimal, two digits a byte, with `separator`
// between bytes unless it is '\0'.
inline std::string hexText(const uint8_t* data, size_t n, char separator = '\0') {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(n * 3);
    for (size_t i = 0; i < n; ++i) {
        if (i > 0 && separator != '\0')
            out += separator;
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0F];
    }
    return out;
}

// The value of `digits`: 1 to `maxDigits` digits of base 10 or 16 and
// nothing else (no sign, no prefix); false otherwise. 16 hexadecimal or 19
// decimal digits fit.
inline bool parseDigits(const std::string& digits, int base, size_t maxDigits, uint64_t* value) {
    if (digits.empty() || digits.size() > maxDigits)
        return false;
    uint64_t v = 0;
    for (char c : digits) {
        const int d = base == 16 ? hexDigitValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0)
            return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    *value = v;
    return true;
}

// Decodes the 2 * n hexadecimal digits at `hex` into n bytes at `out`; false
// at a character that is not a hexadecimal digit.
inline bool decodeHex(const char* hex, size_t n, uint8_t* out) {
    for (size_t i = 0; i < n; ++i) {
        const int hi = hexDigitValue(hex[2 * i]);
        const int lo = hexDigitValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return true;
}

inline uint32_t readBe16(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 8) | p[1];
}

inline uint32_t readBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

inline uint32_t readLe32(const uint8_t* p) {
    return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// The low 16 bits of `value`, high byte first.
inline void writeBe16(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

inline void writeBe32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

inline void writeLe32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}
