// The machinery the passes share: the copying search, and the table of passes.
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

using test::at_every_level;

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
  const std::string_view pieces[] = {"{%", "{", "%", "{{", "a", "\xC3\xA9", "\xE2\x80\x99",
                                     "\xF0\x9F\x98\x80", "<w:t>"};
  at_every_level([&] {
    std::mt19937 rng(5);
    for (size_t round = 0; round < 2000; ++round) {
      std::string text;
      for (size_t i = rng() % 12; i > 0; --i)
        text.append(rng() % 150, '.').append(pieces[rng() % std::size(pieces)]);
      for (const std::string& with : {std::string(), std::string("<%>"), std::string(300, '#')})
        for (size_t window : {size_t{1}, size_t{7}, size_t{64}, text.size() + 1})
          ASSERT_EQ(replace_searching(text, with, window), replace_plainly(text, with))
              << text << " window " << window;
    }
  });
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
  const auto r = [](std::string_view t) { return "<w:r><w:t>" + std::string(t) + "</w:t></w:r>"; };
  const auto tc = [&](std::string_view props, std::string_view t) {
    return "<w:tc>" + std::string(props) + "<w:p>" + r(t) + "</w:p></w:tc>";
  };
  const std::string_view props = "<w:tcPr></w:tcPr>";
  const std::pair<PassFunction, std::string> units[] = {
      {join_split_delimiters, "<w:t>{</w:t><w:t>{ x }</w:t><w:t>}</w:t>"},
      {merge_tag_text_runs, "{{ a</w:t><w:t>b }}"},
      {apply_colspan_tags, tc(props, "{% colspan 2 %}")},
      {apply_cellbg_tags, tc(props, "{% cellbg c %}")},
      {preserve_tag_text_space, "<w:t>{{ a }}</w:t>"},
      {isolate_run_tags, r("a{{r x }}b")},
      {trim_markup_before_tags, "<w:t>a</w:t><w:t>{%- x %}</w:t>"},
      {trim_markup_after_tags, "<w:t>{% x -%}</w:t><w:t>b</w:t>"},
      {replace_row_tags, "<w:tr>" + tc("", "{%tr x %}") + "</w:tr>"},
      {replace_cell_tags, tc("", "{%tc x %}")},
      {replace_paragraph_tags, "<w:p>" + r("{%p x %}") + "</w:p>"},
      {replace_run_tags, r("{{r x }}")},
      {replace_row_comments, "<w:tr>" + tc("", "{#tr x #}") + "</w:tr>"},
      {replace_cell_comments, tc("", "{#tc x #}")},
      {replace_paragraph_comments, "<w:p>" + r("{#p x #}") + "</w:p>"},
      {apply_vmerge_tags, tc(props, "{% vm %}x")},
      {apply_hmerge_tags, tc(props, "{% hm %}x")},
      {clean_tag_bodies, "{{ \xE2\x80\x9C" "a\xE2\x80\x9D }}"},
  };
  ASSERT_EQ(PATCH_PASSES.size(), std::size(units));
  for (size_t index = 0; index < std::size(units); ++index) {
    const auto& [pass, unit] = units[index];
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
    at_every_level([&] {
      std::mt19937 rng(3);
      for (size_t round = 0; round < 200 && !HasFatalFailure(); ++round) {
        std::vector<std::string> fillers(4);
        for (std::string& filler : fillers)
          filler = std::string(rng() % 150, '.') + (rng() % 2 ? "\xE2\x82\xAC" : "");
        check(fillers);
      }
      for (size_t back = 0; back <= unit.size() && !HasFatalFailure(); ++back)
        check({std::string(8192 - back, '.'), std::string(40, '.')});
    });
  }
}

}  // namespace
}  // namespace tesserine
