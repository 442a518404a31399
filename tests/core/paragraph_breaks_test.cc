#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "render/paragraph_breaks.h"
#include "scan/simd.h"
#include "levels.h"

namespace tesserine {
namespace {

using vector_levels::LevelGuard;
using vector_levels::levels;

template <class Unit>
std::vector<Unit> units_of(std::string_view ascii) {
  return std::vector<Unit>(ascii.begin(), ascii.end());
}

// Texts made of whole and broken tags, with and without an LF before them, a
// few other characters, and (in wider units) characters whose low byte is one
// of the tag's, so that a kernel that compares bytes instead of units shows.
// Now and then a piece that post_render would have to do more for: a control
// character, an underscore between delimiters, a surrogate.
template <class Unit>
std::vector<Unit> random_text(std::mt19937& rng, size_t pieces) {
  static const char* const kAscii[] = {"<w:p>", "<w:p ", "<w:p/>", "\n<w:p>", "\n<w:p ", "<w:p",
                                       "<w:",   "w:p",   "x",      "<",        " ",        ">"};
  static const char* const kRare[] = {"\n", "\t", "\a", "\f", "{_{", "%_}", "_", "{", "%"};
  // Low byte (or low half) "<", "p", ">", " " and LF over a non-zero rest.
  static const uint32_t kLookalikes[] = {0x013C, 0x0170, 0x013E, 0x0120, 0x010A, 0x1003C};
  std::vector<Unit> text;
  auto append = [&](const char* ascii) {
    for (const char* c = ascii; *c != 0; ++c) text.push_back(static_cast<Unit>(*c));
  };
  for (size_t i = 0; i < pieces; ++i) {
    const unsigned pick = rng() % 16;
    if (pick < std::size(kAscii)) {
      append(kAscii[pick]);
    } else if (rng() % 24 == 0) {
      if (sizeof(Unit) > 1 && rng() % 4 == 0) {
        text.push_back(static_cast<Unit>(0xD800 + rng() % 0x800));
      } else {
        append(kRare[rng() % std::size(kRare)]);
      }
    } else if (sizeof(Unit) == 1) {
      text.push_back(static_cast<Unit>(0xE9));
    } else if (pick < 14) {
      text.push_back(static_cast<Unit>(kLookalikes[rng() % (sizeof(Unit) == 2 ? 5 : 6)]));
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
void check_insertion(const std::vector<Unit>& text) {
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
  const BreakScan found = first_paragraph_start(view);
  ASSERT_EQ(found.first, first);
  // The finder vouches only for what it read, up to the first tag.
  bool before_first = false;
  for (size_t i = 0; i <= first && i < text.size(); ++i) before_first |= surrogate(text[i]);
  if (before_first) {
    EXPECT_TRUE(found.more);
  }
  if (first == text.size()) {
    EXPECT_EQ(found.more, any_surrogate);
    return;
  }
  // Exactly the room the result needs: a store past it shows under the sanitizer.
  std::vector<Unit> out(expected.size());
  const BreakScan inserted = insert_paragraph_breaks(view, first, out.data());
  EXPECT_EQ(text.size() + inserted.count, expected.size());
  EXPECT_EQ(out, expected);
  bool from_first = false;
  for (size_t i = first; i < text.size(); ++i) from_first |= surrogate(text[i]);
  EXPECT_EQ(inserted.more, from_first);
}

template <class Unit>
bool delimiter(Unit u) {
  return u == '{' || u == '}' || u == '%';
}

template <class Unit>
void check_removal(const std::vector<Unit>& text) {
  std::vector<Unit> expected;
  size_t first = text.size();
  bool more = false;
  bool after_tag = false;  // control characters before the first tag are left alone
  for (size_t i = 0; i < text.size(); ++i) {
    const Unit u = text[i];
    const bool marked = u == '\n' && tag_at(text, i + 1);
    if (marked && first == text.size()) first = i;
    after_tag |= tag_at(text, i);
    const bool control = u == '\n' || u == '\t' || u == '\a' || u == '\f';
    more |= surrogate(u) || (after_tag && control && !marked) ||
            (u == '_' && i > 0 && i + 1 < text.size() && delimiter(text[i - 1]) &&
             delimiter(text[i + 1]));
    if (!marked) expected.push_back(u);
  }
  const std::span<const Unit> view(text);
  const BreakScan start = first_rendered_break(view);
  if (start.more || start.first == text.size()) {
    // Up to the first tag only what has no UTF-8 form or may become a delimiter
    // counts; without a tag nothing is taken out.
    ASSERT_EQ(start.more, more);
    if (!more) {
      EXPECT_EQ(expected.size(), text.size());
    }
    return;
  }
  EXPECT_LE(start.first, first);
  // Room for the whole text, exactly: a store past it shows under the sanitizer.
  std::vector<Unit> out(text.size());
  const BreakScan found = remove_rendered_breaks(view, start.first, out.data());
  const BreakScan counted = remove_rendered_breaks<Unit>(view, start.first, nullptr);
  ASSERT_EQ(found.more, more);
  ASSERT_EQ(counted.more, more);
  if (more) return;
  EXPECT_EQ(found.first, first);
  EXPECT_EQ(found.count, text.size() - expected.size());
  EXPECT_EQ(counted.first, first);
  EXPECT_EQ(counted.count, found.count);
  out.resize(expected.size());
  EXPECT_EQ(out, expected);
}

template <class Unit>
void check_against_reference(const std::vector<Unit>& text) {
  check_insertion(text);
  check_removal(text);
}

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
      for (Unit u : units_of<Unit>("<w:p>\n<w:p a><w:p")) text.push_back(u);
      check_against_reference(text);
      text.resize(pad + 5);
      check_against_reference(text);
    }
  }
}

TEST(ParagraphBreaks, MatchTheReferenceInEveryWidthAndAtEveryLevel) {
  check_every_level<char>();
  check_every_level<uint16_t>();
  check_every_level<uint32_t>();
}

TEST(ParagraphBreaks, DenseTagsInBothDirections) {
  std::vector<uint16_t> text;
  for (int i = 0; i < 1000; ++i)
    for (uint16_t u : units_of<uint16_t>("<w:p>")) text.push_back(u);
  const std::span<const uint16_t> view(text);
  std::vector<uint16_t> inserted(paragraph_breaks_bound(text.size()));
  EXPECT_EQ(text.size() + insert_paragraph_breaks(view, 0, inserted.data()).count,
            inserted.size());
  std::vector<uint16_t> removed(inserted.size());
  const BreakScan found =
      remove_rendered_breaks(std::span<const uint16_t>(inserted), 0, removed.data());
  ASSERT_FALSE(found.more);
  EXPECT_EQ(found.count, 1000u);
  removed.resize(text.size());
  EXPECT_EQ(removed, text);
}

}  // namespace
}  // namespace tesserine
