#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "pass_test_util.h"
#include "patch/passes.h"

namespace tesserine {
namespace {

std::optional<std::string> trim_before(std::string_view text) {
  return rewrite(trim_markup_before_tags, text);
}
std::optional<std::string> trim_after(std::string_view text) {
  return rewrite(trim_markup_after_tags, text);
}

TEST(TrimTagsBefore, RewritesOrLeavesOpeners) {
  const Case cases[] = {
      {"<w:t>Hi</w:t></w:r></w:p><w:p><w:r><w:t>{%- endif %}</w:t>",
       "<w:t>Hi{% endif %}</w:t>"},
      {"<w:t>{%- x %}</w:t>", std::nullopt},
      {"<w:t>a</w:t><w:t>{%- x %}</w:t><w:t>{%- y %}", "<w:t>a{% x %}{% y %}"},
      {"{{- x }}", std::nullopt},
      {"{#- x #}</w:t>{#- y #}", std::nullopt},
      {"{%- x %}</w:t>{%- y %}", "{%- x %}{% y %}"},
      // The nearest "</w:t>" before the opener is the one used.
      {"</w:t>a</w:t><w:t>{%- x %}", "</w:t>a{% x %}"},
      // White space of every kind counts as markup.
      {"<w:t>a</w:t>\n\t <w:t xml:space=\"preserve\"> \xC2\xA0\xE3\x80\x80{%- x %}", "<w:t>a{% x %}"},
      // A "<" whose ">" lies beyond the opener makes the rest of the stretch markup.
      {"</w:t><w:t x a {%- y %}>", "{% y %}>"},
      {"</w:t><w:t a=\">\"{%- y %}", std::nullopt},
      // Truncated input.
      {"</w:t>{%-", "{%"},
      {"</w:t>{%", std::nullopt},
      {"</w:t{%- x %}", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(trim_before(c.input), c.output) << c.input;
}

TEST(TrimTagsBefore, KeepsDocumentText) {
  const Case cases[] = {
      {"<w:t>a</w:t><w:t>b {%- x %}</w:t>", std::nullopt},
      // A ">" outside any tag is text.
      {"</w:t> > {%- y %}", std::nullopt},
      // U+200B and U+FEFF are not white space.
      {"</w:t>\xE2\x80\x8B{%- y %}", std::nullopt},
      {"</w:t>\xEF\xBB\xBF{%- y %}", std::nullopt},
      // The second opener meets the same text behind the same "</w:t>".
      {"<w:t>a</w:t><w:t>b {%- x %}{%- y %}", std::nullopt},
      // After a kept opener the bound stays; a later "</w:t>" serves the next one.
      {"<w:t>a</w:t><w:t>b {%- x %}</w:t><w:t>{%- y %}",
       "<w:t>a</w:t><w:t>b {%- x %}{% y %}"},
      {"<w:t>a</w:t>b{%- x %}</w:t> c{%- y %}</w:t><w:t>{%- z %}",
       "<w:t>a</w:t>b{%- x %}</w:t> c{%- y %}{% z %}"},
  };
  for (const Case& c : cases) EXPECT_EQ(trim_before(c.input), c.output) << c.input;
}

TEST(TrimTagsBefore, MultiByteCharacters) {
  const Case cases[] = {
      {"<w:t>\xC3\xA9</w:t><w:t>{%- \xE2\x82\xAC %}\xF0\x9F\x98\x80",
       "<w:t>\xC3\xA9{% \xE2\x82\xAC %}\xF0\x9F\x98\x80"},
      {"\xF0\x9F\x98\x80</w:t>\xF0\x9F\x98\x80{%- x %}", std::nullopt},
      {"</w:t><w:t a=\"\xC3\xA9\">{%-\xC3\xA9", "{%\xC3\xA9"},
  };
  for (const Case& c : cases) EXPECT_EQ(trim_before(c.input), c.output) << c.input;
}

TEST(TrimTagsAfter, RewritesOrLeavesClosers) {
  const Case cases[] = {
      {"<w:t>{% if x -%}</w:t></w:r></w:p><w:p><w:r><w:t>Hello</w:t>",
       "<w:t>{% if x %}Hello</w:t>"},
      {"{% x -%}</w:t><w:t>{{ y }}", "{% x %}{{ y }}"},
      {"{% x -%}{{ y }}<w:t>", std::nullopt},
      {"{% x -%}</w:t>{% y %}<w:t>", std::nullopt},
      {"{% x -%}", std::nullopt},
      {"{{ x -}}</w:t><w:t>", std::nullopt},
      {"{% x -%}</w:t><w:t xml:space=\"preserve\">z", "{% x %}z"},
      // A "{" that opens no tag does not stop the scan, even inside markup.
      {"{% x -%}<w:r a=\"{x\"><w:t>z", "{% x %}z"},
      {"{% x -%}<w:r a=\"{{\"><w:t>z", std::nullopt},
      // White space of every kind counts as markup.
      {"{% x -%}\n </w:t>\xE3\x80\x80\xC2\x85<w:t>z", "{% x %}z"},
      // A closer kept because a tag follows; the next one goes on.
      {"{% a -%}</w:t>{% c -%}</w:t><w:t>z", "{% a -%}</w:t>{% c %}z"},
      // Truncated input: the pass ends where no ">" closes the start tag.
      {"{% x -%}</w:t><w:t", std::nullopt},
      {"{% x -%}</w:t><w:t ", std::nullopt},
      {"{% x -%}</w:t><w:t xml:space=", std::nullopt},
      {"{% x -%}</w:t><w:", std::nullopt},
      {"{% x -%}{", std::nullopt},
      {"{% x -%", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(trim_after(c.input), c.output) << c.input;
}

TEST(TrimTagsAfter, OnlyTextElementStartTagsEndTheStretch) {
  const Case cases[] = {
      {"{% x -%}</w:t><w:tab/><w:t>z", "{% x %}z"},
      {"{% x -%}</w:t></w:tc><w:tc><w:tcPr/><w:p><w:r><w:t>z", "{% x %}z"},
      {"{% x -%}<w:tbl><w:tr><w:t/><w:t>z", "{% x %}z"},
      {"{% x -%}</w:t><w:tab/>", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(trim_after(c.input), c.output) << c.input;
}

TEST(TrimTagsAfter, KeepsDocumentText) {
  const Case cases[] = {
      {"{% x -%} b</w:t><w:t>c", std::nullopt},
      {"{% x -%}{z<w:t>", std::nullopt},
      {"{% x -%}</w:t>>\n<w:t>z", std::nullopt},
      {"{% x -%}\xE2\x80\x8B<w:t>z", std::nullopt},
      // Several closers before the same start tag: each stretch is judged on its own.
      {"{% x -%} b {% y -%}</w:t><w:t>z", "{% x -%} b {% y %}z"},
      {"{% x -%} -%} -%}<w:t>z", "{% x -%} -%} %}z"},
      // Closers inside markup start their stretch inside a tag.
      {"{% a -%}<x -%}> b<w:t>z", std::nullopt},
      {"{% a -%}<x -%}<y> b<w:t>z", std::nullopt},
      {"{% a -%} b <x -%}<y><w:t>z", "{% a -%} b <x %}z"},
      {"{% a -%} b <x -%} <y>\n<w:t>z", "{% a -%} b <x %}z"},
  };
  for (const Case& c : cases) EXPECT_EQ(trim_after(c.input), c.output) << c.input;
}

TEST(TrimTagsAfter, MultiByteCharacters) {
  const Case cases[] = {
      {"{% \xC3\xA9 -%}</w:t><w:t>\xE2\x82\xAC", "{% \xC3\xA9 %}\xE2\x82\xAC"},
      {"{% x -%}\xC3\xA9</w:t><w:t>z", std::nullopt},
      {"\xF0\x9F\x98\x80-%}<w:t a=\"\xC3\xA9\">\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80%}\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) EXPECT_EQ(trim_after(c.input), c.output) << c.input;
}

// Long runs of markers that are all kept: the answers must not change when the
// stretches overlap.
TEST(TrimTagsAfter, ManyKeptClosers) {
  std::string closers;
  for (int i = 0; i < 3000; ++i) closers += "<a -%}";
  EXPECT_EQ(trim_after(closers + "> b<w:t>z"), std::nullopt);
  EXPECT_EQ(trim_after(closers + "> b <c -%}<y>\n <w:t>z"), closers + "> b <c %}z");
}

TEST(TrimTagsBefore, ManyKeptOpeners) {
  std::string openers;
  for (int i = 0; i < 3000; ++i) openers += "{%- ";
  EXPECT_EQ(trim_before("</w:t>b " + openers), std::nullopt);
  EXPECT_EQ(trim_before(openers + "</w:t>{%- x"), openers + "{% x");
}

// 220 000 closers each followed by text and a "<w:t " whose ">" is at the end of
// 2 MB: that ">" is searched for once, not once per closer.
TEST(TrimTagsAfter, ManyClosersBeforeOneFarTagEnd) {
  std::string closers;
  for (int i = 0; i < 220000; ++i) closers += "-%}a<w:t ";
  EXPECT_EQ(trim_after(closers + ">"), std::nullopt);
  EXPECT_EQ(trim_after(closers + "> -%} <w:t>b"), closers + "> %}b");
}

}  // namespace
}  // namespace tesserine
