// The machinery the passes share: the element-scoped rewrite engine, the copying
// search, and the table of passes.
#include "patch/engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "patch/passes.h"
#include "patch/pipeline.h"
#include "test_util.h"

namespace tesserine {
namespace {

using test::LevelGuard;
using test::levels;

constexpr StartTagPattern kElement{"<e", false};

// Tags are «[body]», or come from a fixed list when one is given; the emitter
// writes «(body)» (or «#» for listed tags) and aborts on the body "stop". The
// start of every tag the finder returns and of every tag emitted is recorded.
struct Harness {
  std::string_view text;
  std::vector<TagSpan> listed{};
  std::vector<size_t> found{}, emitted{};

  std::optional<TagSpan> find(size_t from) {
    std::optional<TagSpan> tag;
    if (!listed.empty()) {
      for (const TagSpan& t : listed)
        if (!tag && t.start >= from) tag = t;
    } else if (size_t open = text.find('[', from), close = text.find(']', open);
               open != std::string_view::npos && close != std::string_view::npos) {
      tag = TagSpan{open, close + 1, open + 1, close};
    }
    if (tag) found.push_back(tag->start);
    return tag;
  }

  std::optional<std::string> run(std::string_view closing) {
    PassResult result = replace_enclosing_elements(
        text, kElement, [this](size_t from) { return find(from); }, closing,
        [this](Buffer& out, size_t, const TagSpan& tag, size_t) {
          emitted.push_back(tag.start);
          const std::string_view body = text.substr(tag.body_start, tag.body_end - tag.body_start);
          if (body == "stop") return EmitResult::abort("stopped");
          out.append(listed.empty() ? "(" + std::string(body) + ")" : "#");
          return EmitResult::ok();
        });
    if (result.is_fallback()) return result.reason();
    return result.is_rewritten() ? std::string(result.text().view()) : std::string(text);
  }
};

TEST(Engine, ReplacesTheEnclosingElements) {
  struct Case {
    const char* input;
    const char* closing;
    const char* expected;
  };
  const Case cases[] = {
      {"<e>plain</e>", "</e>", "<e>plain</e>"},
      {"a<e x>b[t]c</e>d", "</e>", "a(t)d"},
      {"<e><e>A[t]B</e>", "</e>", "<e>(t)"},               // the nearest start
      {"<e><ePr/>[t]</e><eX>", "</e>", "(t)<eX>"},         // a prefix needs a space or ">"
      {"[a]<e>[b]</e>", "</e>", "[a](b)"},                 // no element start
      {"<e>[a]<e>x</e>[b]</e>", "</e>", "(a)[b]</e>"},     // starts only before the tag
      {"<e>[a]x[b]y</e>z", "</e>", "(b)z"},                // two tags, one element
      {"<e>[a]<e>[b]x</e>y", "</e>", "(a)y"},              // a dropped region hides its tags
      {"<e>[a]<e>[b]", "</e>", "<e>[a]<e>[b]"},            // no closing text anywhere
      {"<e>[a]</e>[b]<e>", "</e>", "(a)[b]<e>"},
      {"<e>[a]</e><e>[b]", "</e>", "(a)<e>[b]"},
      {"<e>[a]x[b]y</e>", "", "(b)y</e>"},                 // empty closing: ends at the last tag
      {"<e>[a]<e>[b]", "", "(a)(b)"},
      {"[a]<e", "</e>", "[a]<e"},                          // a start at the text's end never counts
      {"<e>[a]</e><e>[stop]</e>", "</e>", "stopped"},      // an abort after a replacement
  };
  for (const Case& c : cases) EXPECT_EQ(Harness{c.input}.run(c.closing), c.expected) << c.input;
}

// The tag that ends one group is the first tag of the next one; no tag is
// searched for twice.
TEST(Engine, AsksTheFinderForEachTagOnce) {
  Harness h{"<e>[a]</e><e>[b]x[c]</e>[d]<e>[e]</e>[f]"};
  EXPECT_EQ(h.run("</e>"), "(a)(d)[f]");
  std::vector<size_t> unique = h.found;
  std::sort(unique.begin(), unique.end());
  EXPECT_TRUE(std::adjacent_find(unique.begin(), unique.end()) == unique.end());
}

// Nested and overlapping tags, whose members end after the bound or after the
// last closing text.
TEST(Engine, GroupMembersThatNestOrOverlap) {
  struct Case {
    const char* text;
    std::vector<TagSpan> tags;
    const char* expected;
    size_t chosen;
  };
  const Case cases[] = {
      {"<e>xx...</e><e>......", {{3, 20, 3, 20}, {5, 8, 5, 8}}, "#<e>......", 5},
      {"<e>xx...</e><e>......", {{3, 8, 3, 8}, {5, 20, 5, 20}}, "#<e>......", 3},
      {"<e>ab</e>....", {{3, 4, 3, 4}, {4, 6, 4, 6}}, "#....", 3},
      {"<e>ab.d<e>.......x</e>z", {{3, 4, 3, 4}, {4, 18, 4, 18}}, "#z", 4},
  };
  for (const Case& c : cases) {
    Harness h{c.text, c.tags};
    EXPECT_EQ(h.run("</e>"), c.expected) << c.text;
    EXPECT_EQ(h.emitted, std::vector<size_t>{c.chosen}) << c.text;
  }
}

// Replaces every «{%» by `replacement`, searching through a CopyingSearch in
// windows of `window` bytes.
std::string replace_searching(std::string_view text, std::string_view replacement, size_t window) {
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

// Filler of every length up to past two vector blocks, multi-byte characters (which
// the window bounds cut), a "{" that opens nothing and one at the very end; short
// and long replacements, the long ones making the output outgrow its first block
// while bytes lie behind it.
TEST(CopyingSearch, EditsMatchAPlainRewriteAtEveryLevel) {
  LevelGuard guard;
  const std::string_view pieces[] = {"{%", "{", "%", "{{", "a", "\xC3\xA9", "\xE2\x80\x99",
                                     "\xF0\x9F\x98\x80", "<w:t>"};
  for (simd::Level level : levels()) {
    simd::force_level(level);
    std::mt19937 rng(5);
    for (size_t round = 0; round < 2000; ++round) {
      std::string text;
      for (size_t i = rng() % 12; i > 0; --i)
        text.append(rng() % 150, '.').append(pieces[rng() % std::size(pieces)]);
      for (const std::string& with : {std::string(), std::string("<%>"), std::string(300, '#')})
        for (size_t window : {size_t{1}, size_t{7}, size_t{64}, text.size() + 1})
          ASSERT_EQ(replace_searching(text, with, window), replace_plainly(text, with))
              << static_cast<int>(level) << " " << text << " window " << window;
    }
  }
  // The first replacement is so long that the output moves to a larger block
  // while the text passed over lies behind it.
  const std::string text = "{%" + std::string(size_t{3} << 19, '.') + "{%.";
  const std::string with(size_t{1} << 20, '#');
  EXPECT_EQ(replace_searching(text, with, size_t{1} << 16), replace_plainly(text, with));
}

// The table holds the eighteen passes in order. One unit of text per pass, whose
// edits stay inside it: units apart are rewritten as they are alone, whatever
// lies between them, wherever the vector blocks fall and wherever a unit meets
// the edge of a search window.
TEST(Pipeline, PassesInOrderRewriteUnitsApartAsUnitsAlone) {
  const std::pair<PassFunction, std::string_view> units[] = {
      {join_split_delimiters, "<w:t>{</w:t><w:t>{ x }</w:t><w:t>}</w:t>"},
      {merge_tag_text_runs, "{{ a</w:t><w:t>b }}"},
      {apply_colspan_tags, "<w:tc><w:tcPr></w:tcPr><w:p><w:r><w:t>{% colspan 2 %}</w:t></w:r></w:p>"
                           "</w:tc>"},
      {apply_cellbg_tags, "<w:tc><w:tcPr></w:tcPr><w:p><w:r><w:t>{% cellbg c %}</w:t></w:r></w:p>"
                          "</w:tc>"},
      {preserve_tag_text_space, "<w:t>{{ a }}</w:t>"},
      {isolate_run_tags, "<w:r><w:t>a{{r x }}b</w:t></w:r>"},
      {trim_markup_before_tags, "<w:t>a</w:t><w:t>{%- x %}</w:t>"},
      {trim_markup_after_tags, "<w:t>{% x -%}</w:t><w:t>b</w:t>"},
      {replace_row_tags, "<w:tr><w:tc><w:p><w:r><w:t>{%tr x %}</w:t></w:r></w:p></w:tc></w:tr>"},
      {replace_cell_tags, "<w:tc><w:p><w:r><w:t>{%tc x %}</w:t></w:r></w:p></w:tc>"},
      {replace_paragraph_tags, "<w:p><w:r><w:t>{%p x %}</w:t></w:r></w:p>"},
      {replace_run_tags, "<w:r><w:t>{{r x }}</w:t></w:r>"},
      {replace_row_comments, "<w:tr><w:tc><w:p><w:r><w:t>{#tr x #}</w:t></w:r></w:p>"
                             "</w:tc></w:tr>"},
      {replace_cell_comments, "<w:tc><w:p><w:r><w:t>{#tc x #}</w:t></w:r></w:p></w:tc>"},
      {replace_paragraph_comments, "<w:p><w:r><w:t>{#p x #}</w:t></w:r></w:p>"},
      {apply_vmerge_tags, "<w:tc><w:tcPr></w:tcPr><w:p><w:r><w:t>{% vm %}x</w:t></w:r></w:p>"
                          "</w:tc>"},
      {apply_hmerge_tags, "<w:tc><w:tcPr></w:tcPr><w:p><w:r><w:t>{% hm %}x</w:t></w:r></w:p>"
                          "</w:tc>"},
      {clean_tag_bodies, "{{ \xE2\x80\x9C" "a\xE2\x80\x9D }}"},
  };
  ASSERT_EQ(PATCH_PASSES.size(), std::size(units));
  LevelGuard guard;
  for (size_t index = 0; index < std::size(units); ++index) {
    const auto [pass, unit] = units[index];
    ASSERT_EQ(PATCH_PASSES[index].run, pass) << index;
    const std::optional<std::string> alone = test::outcome(pass(unit));
    ASSERT_TRUE(alone) << index;
    auto check = [&](const std::vector<std::string>& fillers) {
      std::string text, expected;
      for (const std::string& filler : fillers) {
        text.append(filler).append(unit);
        expected.append(filler).append(*alone);
      }
      ASSERT_EQ(test::outcome(pass(text)), expected) << PATCH_PASSES[index].name << ": " << text;
    };
    for (simd::Level level : levels()) {
      simd::force_level(level);
      std::mt19937 rng(3);
      for (size_t round = 0; round < 200 && !HasFatalFailure(); ++round) {
        std::vector<std::string> fillers(4);
        for (std::string& filler : fillers)
          filler = std::string(rng() % 150, '.') + (rng() % 2 ? "\xE2\x82\xAC" : "");
        check(fillers);
      }
      for (size_t back = 0; back <= unit.size() && !HasFatalFailure(); ++back)
        check({std::string(8192 - back, '.'), std::string(40, '.')});
    }
  }
}

}  // namespace
}  // namespace tesserine
