#include "scan/utf8.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "scan/simd.h"
#include "levels.h"

namespace tesserine::utf8 {
namespace {

using vector_levels::LevelGuard;
using vector_levels::levels;

using simd::Level;

// An encoder written straight from the UTF-8 bit layout, independent of the
// library's.
std::string reference_utf8(const std::u32string& cps) {
  std::string out;
  for (char32_t c : cps) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

Width width_of(const std::u32string& cps) {
  char32_t top = 0;
  for (char32_t c : cps) top = std::max(top, c);
  return top < 0x80 ? Width::Ascii : top < 0x100 ? Width::Latin1 : top < 0x10000 ? Width::Ucs2
                                                                                  : Width::Ucs4;
}

template <class Unit>
std::vector<Unit> units_of(const std::u32string& cps) {
  return std::vector<Unit>(cps.begin(), cps.end());
}

// Decodes into every unit wide enough, checks the units, and encodes them back.
template <class Unit>
void check_round_trip(const std::string& text, const std::u32string& cps) {
  std::vector<Unit> decoded(cps.size());
  ASSERT_TRUE(decode(text, std::span<Unit>(decoded)));
  EXPECT_EQ(decoded, units_of<Unit>(cps));
  Buffer encoded;
  EXPECT_EQ(encode(std::span<const Unit>(decoded), encoded), std::nullopt);
  EXPECT_EQ(encoded.view(), text);
}

void check_text(const std::u32string& cps) {
  const std::string text = reference_utf8(cps);
  const Measure m = measure(text);
  ASSERT_TRUE(m.valid);
  EXPECT_EQ(m.code_points, cps.size());
  EXPECT_EQ(m.width, width_of(cps));
  if (m.width <= Width::Latin1) check_round_trip<uint8_t>(text, cps);
  if (m.width <= Width::Ucs2) check_round_trip<uint16_t>(text, cps);
  check_round_trip<uint32_t>(text, cps);
}

TEST(Utf8, EveryWidthAtEveryPositionOfAVectorBlock) {
  LevelGuard guard;
  const char32_t samples[] = {U'a',    0x80,    0xE9,    0xFF,     0x100,   0x7FF,
                              0x800,   0x201C,  0xD7FF,  0xE000,   0xFFFF,  0x10000,
                              0x1F600, 0x10FFFF};
  for (Level level : levels()) {
    simd::force_level(level);
    for (char32_t c : samples)
      for (size_t before = 0; before <= 66; ++before)
        for (size_t after : {size_t{0}, size_t{1}, size_t{15}, size_t{31}, size_t{33}}) {
          std::u32string cps = std::u32string(before, U'x') + c + std::u32string(after, U'y');
          SCOPED_TRACE(::testing::Message() << "level " << static_cast<int>(level) << " cp "
                                            << static_cast<uint32_t>(c) << " at " << before
                                            << " + " << after);
          check_text(cps);
          // The same character twice in a row, and at both ends.
          check_text(std::u32string(1, c) + cps + c + c);
        }
  }
}

TEST(Utf8, IllFormedSequencesAreRejectedWhereverTheyStand) {
  LevelGuard guard;
  const std::string bad[] = {
      "\x80",             // stray continuation
      "\xBF",             //
      "\xC0\x80",         // overlong NUL
      "\xC1\xBF",         // overlong 2-byte
      "\xE0\x80\x80",     // overlong 3-byte
      "\xE0\x9F\xBF",     //
      "\xF0\x80\x80\x80", // overlong 4-byte
      "\xF0\x8F\xBF\xBF", //
      "\xED\xA0\x80",     // surrogates
      "\xED\xBF\xBF",     //
      "\xF4\x90\x80\x80", // above U+10FFFF
      "\xF5\x80\x80\x80", //
      "\xF8\x88\x80\x80\x80",
      "\xFF",
      "\xC3",             // cut short
      "\xE2\x80",         //
      "\xF0\x9F\x98",     //
      "\xC3\x41",         // ASCII where a continuation belongs
      "\xE2\x41\x9C",     //
      "\xE2\x80\x41",     //
      "\xF0\x9F\x41\x80", //
      "\xF0\x9F\x98\x41", //
      "\xC3\xA9\xA9",     // one continuation too many
  };
  for (Level level : levels()) {
    simd::force_level(level);
    for (const std::string& seq : bad)
      for (size_t before : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{31},
                            size_t{32}, size_t{63}, size_t{64}, size_t{100}})
        for (size_t after : {size_t{0}, size_t{2}, size_t{40}}) {
          const std::string text = std::string(before, 'a') + seq + std::string(after, 'b');
          SCOPED_TRACE(::testing::Message() << "level " << static_cast<int>(level) << " at "
                                            << before << " + " << after);
          EXPECT_FALSE(measure(text).valid);
          // Whatever size the caller guesses, decoding fails inside its output.
          for (size_t room : {before, text.size() - 1, text.size()}) {
            std::vector<uint32_t> out(room + 8, 0xABCD);
            EXPECT_FALSE(decode(text, std::span<uint32_t>(out.data(), room)));
            EXPECT_EQ(std::vector<uint32_t>(out.end() - 8, out.end()),
                      std::vector<uint32_t>(8, 0xABCD));
          }
        }
  }
}

TEST(Utf8, DecodeWritesOnlyIntoAnOutputOfTheExactSize) {
  LevelGuard guard;
  const std::string text = std::string(100, 'a') + "\xC3\xA9" + std::string(100, 'b');
  for (Level level : levels()) {
    simd::force_level(level);
    for (size_t room : {size_t{0}, size_t{1}, size_t{40}, size_t{100}, size_t{200}, size_t{201},
                        size_t{202}, size_t{260}}) {
      std::vector<uint16_t> out(room + 40, 0xABCD);
      EXPECT_EQ(decode(text, std::span<uint16_t>(out.data(), room)), room == 201);
      EXPECT_EQ(std::vector<uint16_t>(out.end() - 40, out.end()),
                std::vector<uint16_t>(40, 0xABCD))
          << room;
    }
    std::vector<uint8_t> narrow(3);
    EXPECT_FALSE(decode("a\xC4\x80" "b", std::span<uint8_t>(narrow))) << "U+0100 in one byte";
    std::vector<uint16_t> bmp(2);
    EXPECT_FALSE(decode("\xF0\x9F\x98\x80" "b", std::span<uint16_t>(bmp))) << "astral in two";
  }
}

TEST(Utf8, EncodeStopsAtTheFirstUnencodableUnit) {
  LevelGuard guard;
  for (Level level : levels()) {
    simd::force_level(level);
    for (size_t at : {size_t{0}, size_t{7}, size_t{16}, size_t{31}, size_t{32}, size_t{33},
                      size_t{70}, size_t{99}}) {
      for (uint16_t bad :
           {uint16_t{0xD800}, uint16_t{0xDBFF}, uint16_t{0xDC80}, uint16_t{0xDFFF}}) {
        std::vector<uint16_t> units(100, u'x');
        units[at] = bad;
        if (at < 99) units[99] = 0xDFFF;  // a later one never wins
        Buffer out;
        EXPECT_EQ(encode(std::span<const uint16_t>(units), out), at) << static_cast<int>(level);
      }
      for (uint32_t bad : {uint32_t{0xD800}, uint32_t{0xDFFF}, uint32_t{0x110000},
                           uint32_t{0xFFFFFFFF}}) {
        std::vector<uint32_t> units(100, U'x');
        units[at] = bad;
        Buffer out;
        EXPECT_EQ(encode(std::span<const uint32_t>(units), out), at) << static_cast<int>(level);
      }
    }
  }
}

TEST(Utf8, RandomTextsRoundTripAtEveryLevel) {
  LevelGuard guard;
  std::mt19937 rng(11);
  // Mostly ASCII runs, as in markup, broken by characters of every width.
  const char32_t rare[] = {0xA0, 0xE9, 0xFF, 0x100, 0x3A9, 0x7FF, 0x800, 0x2019, 0x201D,
                           0xFFFD, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
  for (int round = 0; round < 300; ++round) {
    const size_t length = round % 50 == 0 ? 20000 + rng() % 20000 : rng() % 400;
    const unsigned density = 1 + rng() % 64;  // one in `density` is not ASCII
    const char32_t limit = round % 3 == 0 ? 0xFF : round % 3 == 1 ? 0xFFFF : 0x10FFFF;
    std::u32string cps;
    while (cps.size() < length) {
      char32_t c = rng() % density == 0 ? rare[rng() % std::size(rare)] : U' ' + rng() % 95;
      if (c <= limit) cps += c;
    }
    for (Level level : levels()) {
      simd::force_level(level);
      SCOPED_TRACE(::testing::Message() << "round " << round << " level "
                                        << static_cast<int>(level));
      check_text(cps);
    }
  }
}

TEST(Utf8, RandomBytesGetTheScalarVerdictAtEveryLevel) {
  LevelGuard guard;
  std::mt19937 rng(5);
  const uint8_t pool[] = {'a', '<', 0x80, 0x9F, 0xA0, 0xBF, 0xC2, 0xC3, 0xDF, 0xE0,
                          0xE2, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  for (int round = 0; round < 3000; ++round) {
    std::string text(rng() % 90, 'a');
    for (char& c : text)
      if (rng() % 4 == 0) c = static_cast<char>(pool[rng() % std::size(pool)]);
    simd::force_level(Level::Scalar);
    const Measure expected = measure(text);
    std::vector<uint32_t> want(expected.code_points);
    const bool decodes = decode(text, std::span<uint32_t>(want));
    EXPECT_EQ(decodes, expected.valid);
    for (Level level : levels()) {
      simd::force_level(level);
      const Measure m = measure(text);
      ASSERT_EQ(m.valid, expected.valid) << round;
      if (!m.valid) continue;
      EXPECT_EQ(m.code_points, expected.code_points);
      EXPECT_EQ(m.width, expected.width);
      std::vector<uint32_t> got(m.code_points);
      EXPECT_TRUE(decode(text, std::span<uint32_t>(got)));
      EXPECT_EQ(got, want);
    }
  }
}

}  // namespace
}  // namespace tesserine::utf8
