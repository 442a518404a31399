// The table of passes.
#include "patch/pipeline.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "patch/passes.h"
#include "test_util.h"

namespace tesserine {
namespace {

using test::at_every_level;

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
      {clean_tag_bodies,
       "{{ \xE2\x80\x9C"
       "a\xE2\x80\x9D }}"},
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
