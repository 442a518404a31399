#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "pass_test_util.h"
#include "patch/passes.h"

namespace tesserine {
namespace {

std::optional<std::string> merge(std::string_view text) { return rewrite(merge_tag_text_runs, text); }

TEST(TagRuns, MergesPiecesInsideTags) {
  const Case cases[] = {
      {"{{ na</w:t></w:r><w:r><w:rPr><w:b/></w:rPr><w:t xml:space=\"preserve\">me }}",
       "{{ name }}"},
      {"{% if a</w:t><w:tab/><w:t> %}", "{% if a %}"},
      {"{# a</w:t><w:t>b #}", "{# ab #}"},
      {"{{ a</w:t><w:t>b</w:t><w:t>c }}", "{{ abc }}"},
      {"{{ a</w:t></w:r></w:p><w:p><w:r><w:t>b", "{{ ab"},
      {"{{ a</w:t><w:t>b }}</w:t><w:t>x{% c</w:t><w:t>d %}", "{{ ab }}</w:t><w:t>x{% cd %}"},
      // Only the closer of the tag's own kind ends its region.
      {"{% a }}</w:t><w:t>b %}", "{% a }}b %}"},
      {"{{ a }}</w:t><w:t>b", std::nullopt},
      {"{x</w:t><w:t>y}", std::nullopt},
      // Look-alike start tags are skipped over, not taken as the next piece.
      {"{{ a</w:t><w:tbl><w:tc><w:t>b }}", "{{ ab }}"},
      {"{{ a</w:t><w:tbl> }}", std::nullopt},
      // A "<w:t" whose ">" lies beyond the closer is no start tag in the region.
      {"{{ a</w:t><w:t }}>", std::nullopt},
      {"{{ a</w:t><w:t>}}", "{{ a}}"},
      // Truncated markup and bare openers at the end.
      {"{{ a</w:t><w:t", std::nullopt},
      {"{{ a</w:t><w:t ", std::nullopt},
      {"{{ a</w:t", std::nullopt},
      {"{", std::nullopt},
      {"{{", std::nullopt},
      {"x{%", std::nullopt},
      {"", std::nullopt},
      // Multi-byte characters right at the cuts.
      {"{{\xF0\x9F\x98\x80</w:t><w:t>\xF0\x9F\x98\x80}}", "{{\xF0\x9F\x98\x80\xF0\x9F\x98\x80}}"},
      {"\xE2\x80\x9C{%\xE2\x80\x9D</w:t><w:t xml:lang=\"\xC3\xA9\">\xC3\xA9%}",
       "\xE2\x80\x9C{%\xE2\x80\x9D\xC3\xA9%}"},
  };
  for (const Case& c : cases) EXPECT_EQ(merge(c.input), c.output) << c.input;
}

// Tags far apart, so that the search copies long stretches in front of them,
// with multi-byte characters at every distance from the edits.
TEST(TagRuns, LongTextsMergeEachTag) {
  const std::string body(40, 'z');
  const Case units[] = {
      {"{{ a</w:t><w:t>b }}", "{{ ab }}"},
      {"{% if " + body + "</w:t><w:tab/><w:t> %}", "{% if " + body + " %}"},
      {"{{ a }}</w:t><w:t>b", "{{ a }}</w:t><w:t>b"},
      {"{x</w:t><w:t>y}", "{x</w:t><w:t>y}"},
      {"{# \xC3\xA9</w:t><w:t>\xC3\xA9 #}", "{# \xC3\xA9\xC3\xA9 #}"},
  };
  std::mt19937 rng(3);
  for (int round = 0; round < 30; ++round) {
    std::string text, expected;
    while (text.size() < 20000) {
      std::string filler = "</w:t></w:r><w:r><w:t>";
      for (size_t k = rng() % 90; k > 0; --k) filler += k % 3 ? "y" : "\xC3\xA9";
      const Case& unit = units[rng() % std::size(units)];
      text += filler + unit.input;
      expected += filler + *unit.output;
    }
    const std::optional<std::string> got = merge(text);
    ASSERT_EQ(got.value_or(text), expected) << round;
  }
}

}  // namespace
}  // namespace tesserine
