#include "patch/engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "patch/passes.h"
#include "scan/simd.h"
#include "levels.h"

namespace tesserine {
namespace {

using vector_levels::LevelGuard;
using vector_levels::levels;

constexpr StartTagPattern kElement{"<e", false};

struct Call {
  size_t element_start;
  size_t tag_start;
  size_t region_end;
};

// A finder for «[body]» tags and an emitter that writes «(body)», or aborts on
// the body "stop"; every emitter call is recorded.
struct Harness {
  std::string_view text;
  std::vector<Call> calls{};

  std::optional<TagSpan> find(size_t from) {
    size_t open = text.find('[', from);
    if (open == std::string_view::npos) return std::nullopt;
    size_t close = text.find(']', open);
    if (close == std::string_view::npos) return std::nullopt;
    return TagSpan{open, close + 1, open + 1, close};
  }

  EmitResult emit(Buffer& out, size_t element_start, const TagSpan& tag, size_t region_end) {
    calls.push_back({element_start, tag.start, region_end});
    std::string_view body = text.substr(tag.body_start, tag.body_end - tag.body_start);
    if (body == "stop") return EmitResult::abort("stopped");
    out.push_back('(');
    out.append(body);
    out.push_back(')');
    return EmitResult::ok();
  }

  PassResult run(std::string_view closing, StartTagPattern pattern = kElement) {
    return replace_enclosing_elements(
        text, pattern, [this](size_t from) { return find(from); }, closing,
        [this](Buffer& out, size_t p, const TagSpan& tag, size_t r) {
          return emit(out, p, tag, r);
        });
  }
};

// The text after a pass: the input itself when unchanged.
std::string after(const PassResult& result, std::string_view input) {
  EXPECT_FALSE(result.is_fallback());
  return std::string(result.is_rewritten() ? result.text().view() : input);
}

struct EngineCase {
  const char* name;
  const char* input;
  const char* closing;
  const char* expected;
};

class EngineCases : public ::testing::TestWithParam<EngineCase> {};

TEST_P(EngineCases, Rewrites) {
  const EngineCase& c = GetParam();
  Harness h{c.input};
  EXPECT_EQ(after(h.run(c.closing), c.input), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, EngineCases,
    ::testing::Values(
        EngineCase{"NoTag", "<e>plain</e>", "</e>", "<e>plain</e>"},
        EngineCase{"Simple", "a<e x>b[t]c</e>d", "</e>", "a(t)d"},
        EngineCase{"NearestStart", "<e><e>A[t]B</e>", "</e>", "<e>(t)"},
        EngineCase{"PrefixNeedsSpaceOrGt", "<e><ePr/>[t]</e><eX>", "</e>", "(t)<eX>"},
        EngineCase{"NoElementStart", "[a]<e>[b]</e>", "</e>", "[a](b)"},
        EngineCase{"StartOnlyBeforePos", "<e>[a]<e>x</e>[b]</e>", "</e>", "(a)[b]</e>"},
        EngineCase{"TwoTagsOneElement", "<e>[a]x[b]y</e>z", "</e>", "(b)z"},
        EngineCase{"ClosingBeyondNextStart", "<e>[a]<e>x</e>y", "</e>", "(a)y"},
        EngineCase{"NoClosingAnywhere", "<e>[a]<e>[b]", "</e>", "<e>[a]<e>[b]"},
        EngineCase{"LastMemberWithoutClosing", "<e>[a]</e>[b]<e>", "</e>", "(a)[b]<e>"},
        EngineCase{"LaterElementsAfterFailedGroup", "<e>[a]</e><e>[b]", "</e>",
                   "(a)<e>[b]"},
        EngineCase{"EmptyClosingEndsAtLastTag", "<e>[a]x[b]y</e>", "", "(b)y</e>"},
        EngineCase{"EmptyClosingPerElement", "<e>[a]<e>[b]", "", "(a)(b)"},
        EngineCase{"StartAtTextEndNeverCounts", "[a]<e", "</e>", "[a]<e"}),
    [](const ::testing::TestParamInfo<EngineCase>& info) { return info.param.name; });

TEST(Engine, ReportsEachRegionToTheEmitter) {
  Harness h{"<e>[a]</e><e>[b]</e>"};
  PassResult result = h.run("</e>");
  ASSERT_TRUE(result.is_rewritten());
  EXPECT_EQ(result.text().view(), "(a)(b)");
  ASSERT_EQ(h.calls.size(), 2u);
  EXPECT_EQ(h.calls[0].element_start, 0u);
  EXPECT_EQ(h.calls[0].tag_start, 3u);
  EXPECT_EQ(h.calls[0].region_end, 10u);
  EXPECT_EQ(h.calls[1].element_start, 10u);
  EXPECT_EQ(h.calls[1].tag_start, 13u);
  EXPECT_EQ(h.calls[1].region_end, 20u);
}

TEST(Engine, ExactPatternMatchesRightBeforeTag) {
  Harness h{"<t>[a]</t><tx>"};
  PassResult result = h.run("</t>", StartTagPattern{"<t>", true});
  ASSERT_TRUE(result.is_rewritten());
  EXPECT_EQ(result.text().view(), "(a)<tx>");
}

TEST(Engine, AbortAfterEarlierReplacementsFallsBack) {
  Harness h{"<e>[a]</e><e>[stop]</e>"};
  PassResult result = h.run("</e>");
  ASSERT_TRUE(result.is_fallback());
  EXPECT_STREQ(result.reason(), "stopped");
  EXPECT_EQ(h.calls.size(), 2u);
}

TEST(Engine, TagsInsideADroppedRegionAreNotSeenAgain) {
  // The closing text lies past the next element start, so the region swallows
  // that element and its tag.
  Harness h{"<e>[a]<e>[b]x</e>y"};
  EXPECT_EQ(after(h.run("</e>"), h.text), "(a)y");
  ASSERT_EQ(h.calls.size(), 1u);
  EXPECT_EQ(h.calls[0].tag_start, 3u);
}

TEST(Engine, AsksTheFinderForEachTagOnce) {
  // The tag that ends one group is the first tag of the next one; it must not be
  // searched for twice.
  Harness h{"<e>[a]</e><e>[b]x[c]</e>[d]<e>[e]</e>[f]"};
  std::vector<size_t> found;
  PassResult result = replace_enclosing_elements(
      h.text, kElement,
      [&](size_t from) {
        std::optional<TagSpan> tag = h.find(from);
        if (tag) found.push_back(tag->start);
        return tag;
      },
      "</e>",
      [&](Buffer& out, size_t p, const TagSpan& tag, size_t r) { return h.emit(out, p, tag, r); });
  EXPECT_EQ(after(result, h.text), "(a)(d)[f]");
  std::vector<size_t> unique = found;
  std::sort(unique.begin(), unique.end());
  unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
  EXPECT_EQ(found.size(), unique.size());
}

// Nested and overlapping tags from a fixed list, to exercise group members that
// end after the bound or after the last closing text.
struct ListHarness {
  std::string_view text;
  std::vector<TagSpan> tags;
  std::vector<size_t> chosen{};

  PassResult run(std::string_view closing) {
    return replace_enclosing_elements(
        text, kElement,
        [this](size_t from) -> std::optional<TagSpan> {
          for (const TagSpan& t : tags)
            if (t.start >= from) return t;
          return std::nullopt;
        },
        closing,
        [this](Buffer& out, size_t, const TagSpan& tag, size_t) {
          chosen.push_back(tag.start);
          out.append("#");
          return EmitResult::ok();
        });
  }
};

TEST(Engine, NestedMembersChooseTheLastOneWithAClosingText) {
  // 0: <e>  3: outer tag [3, 20)  5: inner tag [5, 8)  8: </e>  12: <e>
  ListHarness h{"<e>xx...</e><e>......", {{3, 20, 3, 20}, {5, 8, 5, 8}}};
  PassResult result = h.run("</e>");
  ASSERT_TRUE(result.is_rewritten());
  EXPECT_EQ(result.text().view(), "#<e>......");
  EXPECT_EQ(h.chosen, std::vector<size_t>{5});
}

TEST(Engine, OverlappingMemberEndingAfterLastClosingIsPassedOver) {
  // 3: tag [3, 8)  5: tag [5, 20), which ends after the only "</e>" at 8
  ListHarness h{"<e>xx...</e><e>......", {{3, 8, 3, 8}, {5, 20, 5, 20}}};
  PassResult result = h.run("</e>");
  ASSERT_TRUE(result.is_rewritten());
  EXPECT_EQ(result.text().view(), "#<e>......");
  EXPECT_EQ(h.chosen, std::vector<size_t>{3});
}

TEST(Engine, ClosingStartingBeforeAFailedSearchIsStillFound) {
  // 3: tag [3, 4)  4: tag [4, 6), which ends inside the only "</e>" at 5
  ListHarness h{"<e>ab</e>....", {{3, 4, 3, 4}, {4, 6, 4, 6}}};
  PassResult result = h.run("</e>");
  ASSERT_TRUE(result.is_rewritten());
  EXPECT_EQ(result.text().view(), "#....");
  EXPECT_EQ(h.chosen, std::vector<size_t>{3});
}

TEST(Engine, MemberStartingBeforeBoundJoinsGroupEvenIfItEndsAfterIt) {
  // 0: <e>  3: tag [3, 4)  4: tag [4, 18) reaching past <e> at 7  18: </e>
  ListHarness h{"<e>ab.d<e>.......x</e>z", {{3, 4, 3, 4}, {4, 18, 4, 18}}};
  PassResult result = h.run("</e>");
  ASSERT_TRUE(result.is_rewritten());
  EXPECT_EQ(result.text().view(), "#z");
  EXPECT_EQ(h.chosen, std::vector<size_t>{4});
}

// CopyingSearch --------------------------------------------------------------

const std::string kLong(300, '#');

// Replaces every «{%» by `replacement`, searching through a CopyingSearch in
// windows of `window` bytes.
std::string replace_searching(std::string_view text, std::string_view replacement,
                              size_t window) {
  Rewriter out(text);
  CopyingSearch search(out);
  for (size_t pos = 0; pos < text.size();) {
    const size_t to = std::min(text.size(), pos + window);
    const Offset hit = search.find_followed('{', '%', 1, pos, to);
    if (!hit) {
      pos = to;
      continue;
    }
    search.copy_until(*hit, *hit + 2);
    out.push_str(replacement);
    pos = *hit + 2;
  }
  PassResult result = out.finish();
  return std::string(result.is_rewritten() ? result.text().view() : text);
}

std::string replace_plainly(std::string_view text, std::string_view replacement) {
  std::string out;
  for (size_t pos = 0;;) {
    const size_t hit = text.find("{%", pos);
    if (hit == std::string_view::npos) return out.append(text.substr(pos));
    out.append(text.substr(pos, hit - pos)).append(replacement);
    pos = hit + 2;
  }
}

// Filler of every length up to past two vector blocks, multi-byte characters,
// a "{" that opens nothing and one at the very end.
std::string random_text(std::mt19937& rng) {
  static const std::string_view pieces[] = {"{%", "{", "%", "{{", "a", "\xC3\xA9",
                                            "\xE2\x80\x99", "\xF0\x9F\x98\x80", "<w:t>"};
  std::string text;
  const size_t parts = rng() % 12;
  for (size_t i = 0; i < parts; ++i) {
    text.append(rng() % 150, '.');
    text.append(pieces[rng() % std::size(pieces)]);
  }
  return text;
}

TEST(CopyingSearch, EditsMatchAPlainRewriteAtEveryLevel) {
  LevelGuard guard;
  for (simd::Level level : levels()) {
    SCOPED_TRACE(static_cast<int>(level));
    simd::force_level(level);
    std::mt19937 rng(5);
    for (size_t round = 0; round < 2000; ++round) {
      const std::string text = random_text(rng);
      // Short and long replacements; the long ones make the output outgrow its
      // first buffer while bytes lie behind it.
      for (const std::string& replacement : {std::string(), std::string("<%>"), kLong}) {
        for (size_t window : {size_t{1}, size_t{7}, size_t{64}, text.size() + 1}) {
          ASSERT_EQ(replace_searching(text, replacement, window),
                    replace_plainly(text, replacement))
              << text << " window " << window;
        }
      }
    }
  }
}

TEST(CopyingSearch, OutputMovedToALargerBlockGetsThePlacedBytesAgain) {
  // The first replacement is so long that, window by window, the output must
  // move to a larger block while the text passed over lies behind it.
  const std::string text = "{%" + std::string(size_t{3} << 19, '.') + "{%.";
  const std::string replacement(size_t{1} << 20, '#');
  EXPECT_EQ(replace_searching(text, replacement, size_t{1} << 16),
            replace_plainly(text, replacement));
}

TEST(CopyingSearch, SearchingBehindWhatWasPlacedFindsTheEarlierByte) {
  const std::string text = std::string(100, '.') + "{x" + std::string(100, '.') + "{%" +
                           std::string(100, '.') + "{%";
  Rewriter out(text);
  CopyingSearch search(out);
  search.copy_until(0, 1);  // drop the first byte, so that the rewriter writes
  EXPECT_EQ(search.find_followed('{', '%', 1, 1, text.size()), 202u);
  // From before the bytes placed: the "{x" is found without placing anything.
  EXPECT_EQ(search.find_followed('{', 'x', 1, 50, text.size()), 100u);
  search.copy_until(202, 204);
  out.push_str("#");
  EXPECT_EQ(search.find_followed('{', '%', 1, 204, text.size()), 304u);
  search.copy_until(304, 306);
  PassResult result = out.finish();
  ASSERT_TRUE(result.is_rewritten());
  EXPECT_EQ(result.text().view(),
            std::string(99, '.') + "{x" + std::string(100, '.') + "#" + std::string(100, '.'));
}

TEST(CopyingSearch, BoundInsideACharacterCutsBeforeIt) {
  // The window ends inside the euro sign; what was placed up to there must
  // not be cut inside it.
  const std::string text = "{%" + std::string(70, '.') + "\xE2\x82\xAC" + std::string(70, '.') + "{%";
  for (size_t to = 71; to <= 75; ++to) {
    Rewriter out(text);
    CopyingSearch search(out);
    search.copy_until(0, 2);
    EXPECT_FALSE(search.find_followed('{', '%', 1, 2, to));
    const Offset hit = search.find_followed('{', '%', 1, to, text.size());
    ASSERT_TRUE(hit);
    search.copy_until(*hit, *hit + 2);
    PassResult result = out.finish();
    ASSERT_TRUE(result.is_rewritten());
    EXPECT_EQ(result.text().view(), text.substr(2, text.size() - 4)) << to;
  }
}

// The passes that search through a CopyingSearch, each with a unit of text
// whose edits stay inside it: units apart are rewritten as they are alone,
// whatever lies between them, wherever the vector blocks fall.
TEST(CopyingSearch, PassesRewriteUnitsApartAsUnitsAlone) {
  struct Unit {
    PassResult (*pass)(std::string_view);
    std::string_view text;
  };
  const Unit units[] = {
      {isolate_run_tags, "<w:r><w:t>a{{r x }}b</w:t></w:r>"},
      {trim_markup_before_tags, "<w:t>a</w:t><w:t>{%- x %}</w:t>"},
      {trim_markup_after_tags, "<w:t>{% x -%}</w:t><w:t>b</w:t>"},
      {replace_row_tags, "<w:tr><w:tc><w:p><w:r><w:t>{%tr x %}</w:t></w:r></w:p></w:tc></w:tr>"},
      {replace_run_tags, "<w:r><w:t>{{r x }}</w:t></w:r>"},
      {apply_colspan_tags, "<w:tc><w:tcPr></w:tcPr><w:p><w:r><w:t>{% colspan 2 %}</w:t></w:r></w:p></w:tc>"},
      {apply_cellbg_tags, "<w:tc><w:tcPr></w:tcPr><w:p><w:r><w:t>{% cellbg c %}</w:t></w:r></w:p></w:tc>"},
      {apply_vmerge_tags, "<w:tc><w:tcPr></w:tcPr><w:p><w:r><w:t>{% vm %}x</w:t></w:r></w:p></w:tc>"},
      {apply_hmerge_tags, "<w:tc><w:tcPr></w:tcPr><w:p><w:r><w:t>{% hm %}x</w:t></w:r></w:p></w:tc>"},
  };
  LevelGuard guard;
  for (simd::Level level : levels()) {
    simd::force_level(level);
    for (const Unit& unit : units) {
      PassResult alone = unit.pass(unit.text);
      ASSERT_TRUE(alone.is_rewritten()) << unit.text;
      std::mt19937 rng(3);
      for (size_t round = 0; round < 200; ++round) {
        std::string text, expected;
        for (size_t i = 0; i < 4; ++i) {
          std::string filler(rng() % 150, '.');
          if (rng() % 2) filler += "\xE2\x82\xAC";
          text += filler;
          expected += filler;
          text += unit.text;
          expected += alone.text().view();
        }
        PassResult result = unit.pass(text);
        ASSERT_TRUE(result.is_rewritten());
        ASSERT_EQ(result.text().view(), expected)
            << "level " << static_cast<int>(level) << ": " << text;
      }
    }
  }
}

}  // namespace
}  // namespace tesserine
