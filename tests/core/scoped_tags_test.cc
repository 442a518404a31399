#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "patch/passes.h"

namespace tesserine {
namespace {

using Pass = PassResult (*)(std::string_view);

struct ScopedCase {
  const char* name;
  Pass pass;
  const char* input;
  const char* expected;
};

class ScopedTagsCases : public ::testing::TestWithParam<ScopedCase> {};

TEST_P(ScopedTagsCases, Rewrites) {
  const ScopedCase& c = GetParam();
  PassResult result = c.pass(c.input);
  if (std::string_view(c.input) == c.expected) {
    EXPECT_TRUE(result.is_unchanged());
  } else {
    ASSERT_TRUE(result.is_rewritten());
    EXPECT_EQ(result.text().view(), c.expected);
  }
}

#define TR(body) "<w:tr><w:tc><w:p><w:r><w:t>" body "</w:t></w:r></w:p></w:tc></w:tr>"

INSTANTIATE_TEST_SUITE_P(
    ScopedTags, ScopedTagsCases,
    ::testing::Values(
        ScopedCase{"RowExample", replace_row_tags,
                   "<w:tbl>" TR("{%tr for r in rows %}") TR("{{ r }}")
                   "<w:tr w:rsidR=\"1\"><w:tc><w:p><w:r><w:t>{%tr endfor %}</w:t></w:r></w:p>"
                   "</w:tc></w:tr></w:tbl>",
                   "<w:tbl>{% for r in rows %}" TR("{{ r }}") "{% endfor %}</w:tbl>"},
        ScopedCase{"RunExample", replace_run_tags,
                   "<w:p><w:r><w:rPr><w:b/></w:rPr><w:t>{{r name }}</w:t></w:r></w:p>",
                   "<w:p>{{ name }}</w:p>"},
        ScopedCase{"ParagraphCommentExample", replace_paragraph_comments,
                   "<w:body><w:p><w:r><w:t>{#p draft #}</w:t></w:r></w:p></w:body>",
                   "<w:body>{# draft #}</w:body>"},
        ScopedCase{"Cell", replace_cell_tags,
                   "<w:tr><w:tc><w:tcPr/><w:p><w:r><w:t>{%tc if x %}</w:t></w:r></w:p></w:tc>"
                   "</w:tr>",
                   "<w:tr>{% if x %}</w:tr>"},
        ScopedCase{"CellComment", replace_cell_comments, "<w:tc>a{#tc note #}b</w:tc>c",
                   "{# note #}c"},
        ScopedCase{"ParagraphSkipsPPr", replace_paragraph_tags,
                   "<w:p w:rsidR=\"1\"><w:pPr><w:jc w:val=\"left\"/></w:pPr><w:proofErr/><w:r>"
                   "<w:t>{{p x }}</w:t></w:r></w:p>",
                   "{{ x }}"},
        ScopedCase{"NestedTableTakesInnerRow", replace_row_tags,
                   "<w:tr><w:tc><w:tbl>" TR("{%tr for x in y %}") "</w:tbl></w:tc></w:tr>",
                   "<w:tr><w:tc><w:tbl>{% for x in y %}</w:tbl></w:tc></w:tr>"},
        ScopedCase{"SpaceBeforeKeyword", replace_row_tags, TR("{% tr x %}"), TR("{% tr x %}")},
        ScopedCase{"NoSpaceAfterKeyword", replace_row_tags, TR("{%tr%}{%trx %}"),
                   TR("{%tr%}{%trx %}")},
        ScopedCase{"TabAfterKeyword", replace_row_tags, TR("{%tr\tx %}"), TR("{%tr\tx %}")},
        ScopedCase{"LoneBraceInBodyRejects", replace_row_tags, TR("{%tr x}%}"),
                   TR("{%tr x}%}")},
        ScopedCase{"LonePercentInBodyRejects", replace_row_tags, TR("{%tr a%b %}"),
                   TR("{%tr a%b %}")},
        ScopedCase{"RetryOneByteAfterBrace", replace_row_tags, TR("{{tr a{%tr b %}"),
                   "{% b %}"},
        ScopedCase{"RetryInsideOpener", replace_row_tags, TR("{{{tr x }}"), "{{ x }}"},
        ScopedCase{"EmptyBody", replace_row_tags, TR("{%tr %}"), "{% %}"},
        ScopedCase{"OnlyFirstSpaceRemoved", replace_row_tags, TR("{%tr  x %}"), "{%  x %}"},
        ScopedCase{"MixedDelimiters", replace_row_tags, TR("{{tr x %}"), "{{ x %}"},
        ScopedCase{"CommentRejectsBraceCloser", replace_row_comments, TR("{#tr x}}"),
                   TR("{#tr x}}")},
        ScopedCase{"CommentBodyMayHoldPercent", replace_paragraph_comments,
                   "<w:p>{#p a%b #}</w:p>", "{# a%b #}"},
        ScopedCase{"CommentBodyLoneBraceRejects", replace_paragraph_comments,
                   "<w:p>{#p a}b #}</w:p>", "<w:p>{#p a}b #}</w:p>"},
        ScopedCase{"NoClosingTag", replace_row_tags, "<w:tbl><w:tr><w:tc>{%tr x %}</w:tc>",
                   "<w:tbl><w:tr><w:tc>{%tr x %}</w:tc>"},
        ScopedCase{"TagWithoutElement", replace_paragraph_tags, "{{p x }}</w:p>",
                   "{{p x }}</w:p>"},
        ScopedCase{"BodyAtTextEnd", replace_paragraph_tags, "<w:p>{%p ", "<w:p>{%p "},
        ScopedCase{"CloserAtTextEnd", replace_paragraph_tags, "<w:p>{%p x%", "<w:p>{%p x%"},
        ScopedCase{"MultiByteBody", replace_paragraph_tags,
                   "<w:p><w:r><w:t>{{p \xc3\xa9t\xc3\xa9 }}</w:t></w:r></w:p>\xe2\x80\x9c",
                   "{{ \xc3\xa9t\xc3\xa9 }}\xe2\x80\x9c"}),
    [](const ::testing::TestParamInfo<ScopedCase>& info) { return info.param.name; });

#undef TR

TEST(ScopedTags, EveryPassLeavesTextWithoutBracesUnchanged) {
  constexpr std::string_view text = "<w:tr><w:tc><w:p><w:r><w:t>tr tc p r</w:t></w:r></w:p>"
                                    "</w:tc></w:tr>";
  for (Pass pass : {replace_row_tags, replace_cell_tags, replace_paragraph_tags,
                    replace_run_tags, replace_row_comments, replace_cell_comments,
                    replace_paragraph_comments})
    EXPECT_TRUE(pass(text).is_unchanged());
}

TEST(ScopedTags, EachPassTakesOnlyItsOwnKeyword) {
  constexpr std::string_view text =
      "<w:tr><w:tc><w:p><w:r><w:t>{%r a %}</w:t></w:r><w:r><w:t>{%p b %}</w:t></w:r></w:p>"
      "<w:p><w:r><w:t>{#p c #}</w:t></w:r></w:p></w:tc><w:tc>{#tc d #}</w:tc></w:tr>";
  struct Expect {
    Pass pass;
    std::string_view output;
  };
  const Expect expectations[] = {
      {replace_run_tags,
       "<w:tr><w:tc><w:p>{% a %}<w:r><w:t>{%p b %}</w:t></w:r></w:p>"
       "<w:p><w:r><w:t>{#p c #}</w:t></w:r></w:p></w:tc><w:tc>{#tc d #}</w:tc></w:tr>"},
      {replace_paragraph_tags,
       "<w:tr><w:tc>{% b %}"
       "<w:p><w:r><w:t>{#p c #}</w:t></w:r></w:p></w:tc><w:tc>{#tc d #}</w:tc></w:tr>"},
      {replace_paragraph_comments,
       "<w:tr><w:tc><w:p><w:r><w:t>{%r a %}</w:t></w:r><w:r><w:t>{%p b %}</w:t></w:r></w:p>"
       "{# c #}</w:tc><w:tc>{#tc d #}</w:tc></w:tr>"},
      {replace_cell_comments,
       "<w:tr><w:tc><w:p><w:r><w:t>{%r a %}</w:t></w:r><w:r><w:t>{%p b %}</w:t></w:r></w:p>"
       "<w:p><w:r><w:t>{#p c #}</w:t></w:r></w:p></w:tc>{# d #}</w:tr>"},
  };
  for (const Expect& e : expectations) {
    PassResult result = e.pass(text);
    ASSERT_TRUE(result.is_rewritten());
    EXPECT_EQ(result.text().view(), e.output);
  }
  EXPECT_TRUE(replace_row_tags(text).is_unchanged());
  EXPECT_TRUE(replace_cell_tags(text).is_unchanged());
  EXPECT_TRUE(replace_row_comments(text).is_unchanged());
}

// Openers piled up in front of one far "}" share the search for it: 200 000
// of them in 1.4 MB must not search the rest of the text once each.
TEST(ScopedTags, ManyOpenersBeforeOneFarStop) {
  std::string openers;
  for (int i = 0; i < 200000; ++i) openers += "{{tr a ";
  EXPECT_TRUE(replace_row_tags("<w:tr>" + openers + "}x</w:tr>").is_unchanged());
  // Nested tags all end at the one closer; the last of them replaces the row.
  PassResult nested = replace_row_tags("<w:tr>" + openers + "}}</w:tr>b");
  ASSERT_TRUE(nested.is_rewritten());
  EXPECT_EQ(nested.text().view(), "{{ a }}b");
  // Past the shared stop, the next tag's own stop is searched for afresh.
  std::string p_openers;
  for (int i = 0; i < 200000; ++i) p_openers += "{{p a ";
  PassResult later =
      replace_paragraph_tags("<w:p>" + p_openers + "}}</w:p><w:p>{{p b }}</w:p>");
  ASSERT_TRUE(later.is_rewritten());
  EXPECT_EQ(later.text().view(), "{{ a }}{{ b }}");
}

}  // namespace
}  // namespace tesserine
