#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>
#include <string_view>

#include "patch/passes.h"

namespace tesserine {
namespace {

struct SpaceCase {
  const char* name;
  const char* input;
  const char* expected;  // nullptr: Unchanged
};

class TextSpaceCases : public ::testing::TestWithParam<SpaceCase> {};

TEST_P(TextSpaceCases, Rewrites) {
  const SpaceCase& c = GetParam();
  PassResult result = preserve_tag_text_space(c.input);
  if (c.expected == nullptr) {
    EXPECT_TRUE(result.is_unchanged());
  } else {
    ASSERT_TRUE(result.is_rewritten());
    EXPECT_EQ(result.text().view(), c.expected);
  }
}

#define KEPT "<w:t xml:space=\"preserve\">"

INSTANTIATE_TEST_SUITE_P(
    TextSpace, TextSpaceCases,
    ::testing::Values(
        SpaceCase{"Expression", "<w:t>Hello {{ name }}</w:t>", KEPT "Hello {{ name }}</w:t>"},
        SpaceCase{"AlreadyPreserved", KEPT "{{ x }}</w:t>", nullptr},
        SpaceCase{"NearestBareStartBeforeTag", "<w:t>a</w:t>" KEPT "{{ x }}</w:t>",
                  KEPT "a</w:t>" KEPT "{{ x }}</w:t>"},
        SpaceCase{"OneGroupPerElement", "<w:t>{{ a }} and {% if b %}</w:t>",
                  KEPT "{{ a }} and {% if b %}</w:t>"},
        SpaceCase{"CommentIgnored", "<w:t>{# note #}</w:t>", nullptr},
        SpaceCase{"ExpressionUnclosed", "<w:t>{{ x }</w:t>", nullptr},
        SpaceCase{"ExpressionWithStatementCloser", "<w:t>{{ a %}</w:t>", nullptr},
        SpaceCase{"StatementWithExpressionCloser", "<w:t>%} {% a }}</w:t>", nullptr},
        SpaceCase{"CloserOnlyBefore", "<w:t>}} {{ x</w:t>", nullptr},
        SpaceCase{"CloserOverlapsOpener", "<w:t>{%}</w:t>", nullptr},
        SpaceCase{"EmptyExpression", "<w:t>{{}}</w:t>", KEPT "{{}}</w:t>"},
        SpaceCase{"NoBareStart", "<w:p>{{ x }}</w:p><w:tbl>{% y %}", nullptr},
        SpaceCase{"Empty", "", nullptr},
        SpaceCase{"TagAcrossElements", "<w:t>{{ a</w:t><w:t>b }}</w:t><w:t>c</w:t>",
                  KEPT "{{ a</w:t><w:t>b }}</w:t><w:t>c</w:t>"},
        SpaceCase{"EachElement", "<w:t>{{ a }}</w:t><w:t>b</w:t><w:t>{% c %}</w:t>",
                  KEPT "{{ a }}</w:t><w:t>b</w:t>" KEPT "{% c %}</w:t>"},
        SpaceCase{"TripleBrace", "<w:t>{{{ x }}</w:t>", KEPT "{{{ x }}</w:t>"},
        // Groups whose tags overlap, or hold a bare start tag inside a tag.
        SpaceCase{"NextTagStartsInsideLastTag", "<w:t>{{ a <w:t>x {{ b }}</w:t><w:t>{% c %}",
                  KEPT "{{ a <w:t>x {{ b }}</w:t>" KEPT "{% c %}"},
        SpaceCase{"OverlappingTagJoinsGroup", "<w:t>{{ a {% b }}<w:t>c %}</w:t><w:t>{{ d }}",
                  KEPT "{{ a {% b }}<w:t>c %}</w:t>" KEPT "{{ d }}"},
        SpaceCase{"BareStartOnlyInsideTag", "<w:t>{{ a }}{% b <w:t> %}{{ c }}",
                  KEPT "{{ a }}{% b <w:t> %}{{ c }}"},
        SpaceCase{"BareStartInsideLastTag", "<w:t>{{ a <w:t>}}{{ b }}",
                  KEPT "{{ a <w:t>}}{{ b }}"},
        SpaceCase{"ElementAfterElement", "<w:t>{{ a }}<w:t>{{ b }}<w:t>{{ c }}",
                  KEPT "{{ a }}" KEPT "{{ b }}" KEPT "{{ c }}"},
        SpaceCase{"FirstTagWithoutElement", "{{ a }}<w:t>{{ b }}", "{{ a }}" KEPT "{{ b }}"},
        SpaceCase{"MultiByteAroundMarkers", "é<w:t>中{{ ü }}é</w:t>中<w:t>{%中%}</w:t>ü",
                  "é" KEPT "中{{ ü }}é</w:t>中" KEPT "{%中%}</w:t>ü"}),
    [](const ::testing::TestParamInfo<SpaceCase>& info) { return std::string(info.param.name); });

TEST(TextSpace, ManyOpenersBeforeOneCloser) {
  const std::string openers(2000, '{');
  const std::string text = "<w:t>" + openers + "}}</w:t><w:t>{% a %}{{ b }}</w:t>";
  PassResult result = preserve_tag_text_space(text);
  ASSERT_TRUE(result.is_rewritten());
  EXPECT_EQ(result.text().view(),
            KEPT + openers + "}}</w:t>" KEPT "{% a %}{{ b }}</w:t>");
}

// Groups far apart, so that the search copies long stretches between them,
// with multi-byte characters at every distance from the edits.
TEST(TextSpace, LongTextsRewriteEachGroup) {
  struct Unit {
    const char* input;
    const char* output;
  };
  const Unit units[] = {
      {"<w:t>{{ a }}</w:t>", KEPT "{{ a }}</w:t>"},
      {"<w:t>{% if b %} and \xC3\xA9{{ c }}</w:t>", KEPT "{% if b %} and \xC3\xA9{{ c }}</w:t>"},
      {"<w:t>{# note #}</w:t>", "<w:t>{# note #}</w:t>"},
      {KEPT "x</w:t>", KEPT "x</w:t>"},
  };
  std::mt19937 rng(9);
  for (int round = 0; round < 30; ++round) {
    std::string text, expected;
    while (text.size() < 20000) {
      std::string filler = "<w:p>";
      for (size_t k = rng() % 90; k > 0; --k) filler += k % 3 ? "y" : "\xC3\xA9";
      const Unit& unit = units[rng() % std::size(units)];
      text += filler + unit.input;
      expected += filler + unit.output;
    }
    PassResult result = preserve_tag_text_space(text);
    ASSERT_EQ(result.is_rewritten() ? std::string(result.text().view()) : text, expected) << round;
  }
}

}  // namespace
}  // namespace tesserine
