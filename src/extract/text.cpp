// UTF-8 validation and the NUL cut of text fields.
#include "extract/text.hpp"

#include <algorithm>

namespace korvex {

bool isUtf8(std::span<const std::uint8_t> bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t lead = bytes[i];
        std::size_t length;
        std::uint8_t low = 0x80;  // bounds of the byte after the lead
        std::uint8_t high = 0xBF;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) {
                low = 0xA0;  // overlong below U+0800
            } else if (lead == 0xED) {
                high = 0x9F;  // surrogates
            }
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) {
                low = 0x90;  // overlong below U+10000
            } else if (lead == 0xF4) {
                high = 0x8F;  // above U+10FFFF
            }
        } else {
            return false;  // a continuation byte, an overlong lead (C0, C1) or F5-FF
        }
        if (length > bytes.size() - i || bytes[i + 1] < low || bytes[i + 1] > high) {
            return false;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if (bytes[i + k] < 0x80 || bytes[i + k] > 0xBF) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

std::span<const std::uint8_t> beforeFirstNul(std::span<const std::uint8_t> bytes) {
    const auto nul = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    return bytes.first(static_cast<std::size_t>(nul - bytes.begin()));
}

}  // namespace korvex
