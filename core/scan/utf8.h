// Conversion between UTF-8 and fixed-width code units (1, 2 or 4 bytes per code
// point), the forms in which an interpreter keeps its strings.
//
// Runs of ASCII are the common case in markup and go through kernels of the
// vector layer (scan/vector.h); other characters take a scalar path.
//
// Every routine reads only inside its input and writes only inside its output,
// whatever the bytes: invalid UTF-8 is reported, never trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "scan/buffer.h"

namespace tesserine::utf8 {

// The narrowest code unit that holds every code point of a text; each value is
// the largest code point of its class.
enum class Width : uint32_t { Ascii = 0x7F, Latin1 = 0xFF, Ucs2 = 0xFFFF, Ucs4 = 0x10FFFF };

struct Measure {
  size_t code_points = 0;
  Width width = Width::Ascii;
  // False for anything but well-formed UTF-8: a stray continuation byte, an
  // overlong form, a surrogate, a code point above U+10FFFF or a sequence cut
  // short. The other fields are then meaningless.
  bool valid = true;
};

Measure measure(std::string_view text) noexcept;

// Decodes `text` into exactly out.size() code units. False when the text is not
// valid UTF-8, holds a different number of code points, or holds one too wide
// for the unit; `out` is then partly written.
bool decode(std::string_view text, std::span<uint8_t> out) noexcept;
bool decode(std::string_view text, std::span<uint16_t> out) noexcept;
bool decode(std::string_view text, std::span<uint32_t> out) noexcept;

// Appends the UTF-8 form of `units` to `out`. A unit that no UTF-8 text can
// hold (a surrogate U+D800..U+DFFF, or above U+10FFFF) stops the encoding: its
// offset is returned and `out` ends somewhere before it.
std::optional<size_t> encode(std::span<const uint8_t> units, Buffer& out);
std::optional<size_t> encode(std::span<const uint16_t> units, Buffer& out);
std::optional<size_t> encode(std::span<const uint32_t> units, Buffer& out);

}  // namespace tesserine::utf8
