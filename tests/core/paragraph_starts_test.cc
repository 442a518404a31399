#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "render/paragraph_starts.h"
#include "scan/simd.h"

namespace tesserine {
namespace {

template <class Unit>
std::vector<Unit> units_of(std::string_view ascii) {
  return std::vector<Unit>(ascii.begin(), ascii.end());
}

// Texts made of whole and broken tags, a few other characters, and (in wider
// units) characters whose low byte is one of the tag's, so that a kernel that
// compares bytes instead of units shows; surrogates now and then.
template <class Unit>
std::vector<Unit> random_text(std::mt19937& rng, size_t pieces) {
  static const char* const kAscii[] = {"<w:p>", "<w:p ", "<w:p/>", "<w:pPr>", "<w:p", "<w:",
                                       "w:p",   "x",     "\n",     "<",       " ",    ">"};
  // Low byte (or low half) "<", "p", ">" and " " over a non-zero rest.
  static const uint32_t kLookalikes[] = {0x013C, 0x0170, 0x013E, 0x0120, 0x1003C, 0x10070};
  std::vector<Unit> text;
  for (size_t i = 0; i < pieces; ++i) {
    const unsigned pick = rng() % 16;
    if (pick < std::size(kAscii)) {
      for (const char* c = kAscii[pick]; *c != 0; ++c) text.push_back(static_cast<Unit>(*c));
    } else if (sizeof(Unit) == 1) {
      text.push_back(static_cast<Unit>(0xE9));
    } else if (pick < 14) {
      const uint32_t u = kLookalikes[rng() % (sizeof(Unit) == 2 ? 4 : 6)];
      text.push_back(static_cast<Unit>(u));
    } else if (pick == 14 && rng() % 8 == 0) {
      text.push_back(static_cast<Unit>(0xD800 + rng() % 0x800));
    } else {
      text.push_back(static_cast<Unit>(0x201C));
    }
  }
  return text;
}

template <class Unit>
bool surrogate(Unit u) {
  return sizeof(Unit) > 1 && u >= 0xD800 && u <= 0xDFFF;
}

template <class Unit>
bool tag_at(const std::vector<Unit>& t, size_t i) {
  const char* tag = "<w:p";
  if (i + 5 > t.size()) return false;
  for (size_t k = 0; k < 4; ++k)
    if (t[i + k] != static_cast<Unit>(tag[k])) return false;
  return t[i + 4] == '>' || t[i + 4] == ' ';
}

template <class Unit>
void check_against_reference(const std::vector<Unit>& text) {
  std::vector<Unit> expected;
  size_t first = text.size();
  bool any_surrogate = false;
  for (size_t i = 0; i < text.size(); ++i) {
    any_surrogate |= surrogate(text[i]);
    if (tag_at(text, i)) {
      if (first == text.size()) first = i;
      expected.push_back('\n');
    }
    expected.push_back(text[i]);
  }
  const std::span<const Unit> view(text);
  const ParagraphStarts found = first_paragraph_start(view);
  ASSERT_EQ(found.first, first);
  // The finder vouches only for what it read, up to the first tag.
  bool before_first = false;
  for (size_t i = 0; i <= first && i < text.size(); ++i) before_first |= surrogate(text[i]);
  if (before_first) {
    EXPECT_TRUE(found.surrogate);
  }
  const ParagraphStarts counted = count_paragraph_starts(view);
  EXPECT_EQ(counted.first, first);
  EXPECT_EQ(counted.count, expected.size() - text.size());
  EXPECT_EQ(counted.surrogate, any_surrogate);
  if (first == text.size()) return;
  std::vector<Unit> out(paragraph_breaks_bound(text.size()), Unit{0x5A});
  const size_t written = insert_paragraph_breaks(view, first, out.data());
  ASSERT_EQ(written, expected.size());
  out.resize(written);
  EXPECT_EQ(out, expected);
}

std::vector<simd::Level> levels() {
  std::vector<simd::Level> out{simd::Level::Scalar};
  if (simd::best_level() >= simd::Level::SSE2) out.push_back(simd::Level::SSE2);
  if (simd::best_level() >= simd::Level::AVX2) out.push_back(simd::Level::AVX2);
  return out;
}

struct LevelGuard {
  ~LevelGuard() { simd::force_level(simd::best_level()); }
};

template <class Unit>
void check_every_level() {
  LevelGuard guard;
  for (simd::Level level : levels()) {
    SCOPED_TRACE(static_cast<int>(level));
    simd::force_level(level);
    std::mt19937 rng(7);
    for (size_t round = 0; round < 3000; ++round) {
      check_against_reference(random_text<Unit>(rng, round % 60));
      if (::testing::Test::HasFatalFailure()) return;
    }
    // A tag at every offset of the vector blocks and of the ends.
    for (size_t pad = 0; pad < 80; ++pad) {
      std::vector<Unit> text(pad, static_cast<Unit>('.'));
      for (Unit u : units_of<Unit>("<w:p><w:p a><w:p")) text.push_back(u);
      check_against_reference(text);
      text.resize(pad + 5);
      check_against_reference(text);
    }
  }
}

TEST(ParagraphStarts, MatchTheReferenceInEveryWidthAndAtEveryLevel) {
  check_every_level<char>();
  check_every_level<uint16_t>();
  check_every_level<uint32_t>();
}

TEST(ParagraphStarts, HostileDensityStaysWithinTheBound) {
  std::vector<uint16_t> text;
  for (int i = 0; i < 1000; ++i)
    for (uint16_t u : units_of<uint16_t>("<w:p>")) text.push_back(u);
  const std::span<const uint16_t> view(text);
  std::vector<uint16_t> out(paragraph_breaks_bound(text.size()));
  EXPECT_EQ(insert_paragraph_breaks(view, 0, out.data()), out.size());
}

}  // namespace
}  // namespace tesserine
