// Text read from files: strict UTF-8 for parameter labels, Windows-1252 for text values and names.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace korvex {

// Whether `bytes` are well-formed UTF-8, as the interpreter's strict decoder accepts it: no
// overlong forms, no surrogates, nothing above U+10FFFF, no sequence cut short.
bool isUtf8(std::span<const std::uint8_t> bytes);

// Instrument software writes text in the Windows code page (real sample names hold 0x91, 0xFC,
// 0xB2), so text values decode as Windows-1252 and never fail. Bytes below 0x80 and from 0xA0 on
// are their own code points; 0x80-0x9F map through this table, the five bytes that the code page
// leaves undefined to themselves, as web browsers decode them.
inline constexpr std::array<char16_t, 32> windows1252High = {
    u'\u20AC', u'\u0081', u'\u201A', u'\u0192', u'\u201E', u'\u2026', u'\u2020', u'\u2021',
    u'\u02C6', u'\u2030', u'\u0160', u'\u2039', u'\u0152', u'\u008D', u'\u017D', u'\u008F',
    u'\u0090', u'\u2018', u'\u2019', u'\u201C', u'\u201D', u'\u2022', u'\u2013', u'\u2014',
    u'\u02DC', u'\u2122', u'\u0161', u'\u203A', u'\u0153', u'\u009D', u'\u017E', u'\u0178',
};

constexpr char16_t windows1252(std::uint8_t byte) {
    return byte >= 0x80 && byte < 0xA0 ? windows1252High[byte - 0x80] : char16_t{byte};
}

// The bytes of a text field before its first NUL (all of them when it has none).
std::span<const std::uint8_t> beforeFirstNul(std::span<const std::uint8_t> bytes);

}  // namespace korvex
