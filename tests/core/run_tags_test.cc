#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "pass_test_util.h"
#include "patch/passes.h"

namespace tesserine {
namespace {

std::optional<std::string> isolate(std::string_view text) { return rewrite(isolate_run_tags, text); }

const std::string kBreak = "</w:t></w:r><w:r><w:t xml:space=\"preserve\">";

// The tag between two run breaks, as the pass writes it.
std::string alone(std::string_view tag) { return kBreak + std::string(tag) + kBreak; }

TEST(RunTags, IsolatesOrLeavesText) {
  const Case cases[] = {
      {"<w:r><w:t>a{%r x %}b</w:t></w:r>",
       "<w:r><w:t>a</w:t></w:r><w:r><w:t xml:space=\"preserve\">{%r x %}</w:t></w:r>"
       "<w:r><w:t xml:space=\"preserve\">b</w:t></w:r>"},
      {"{{r x}}", alone("{{r x}}")},
      {"{{r\tx}}", alone("{{r\tx}}")},
      {"{{r\nx}}", alone("{{r\nx}}")},
      // The closer may follow the white space at once.
      {"{%r %}", alone("{%r %}")},
      {"{%r x %}{{r y }}", alone("{%r x %}") + alone("{{r y }}")},
      // The first closer of the opener's own kind ends the tag.
      {"{%r a }} b %}c", alone("{%r a }} b %}") + "c"},
      // Not run tags.
      {"{#r x #}", std::nullopt},
      {"{% r x %}", std::nullopt},
      {"{%- r x %}", std::nullopt},
      {"{{rx}}", std::nullopt},
      {"{{r}}", std::nullopt},
      {"{{R x}}", std::nullopt},
      {"{{r x", std::nullopt},
      {"{{r x %}", std::nullopt},
      {"<w:t>plain {{ x }}</w:t>", std::nullopt},
      {"", std::nullopt},
      // An unclosed opener is skipped; the other closer is still searched for.
      {"{{r a {%r b %} {{r c", "{{r a " + alone("{%r b %}") + " {{r c"},
      {"{%r a {{r b }} {%r c", "{%r a " + alone("{{r b }}") + " {%r c"},
      // A "{" inside a skipped opener may start the next tag.
      {"{{{r x}}", std::string("{") + alone("{{r x}}")},
      // Truncated input.
      {"{", std::nullopt},
      {"{%", std::nullopt},
      {"{%r", std::nullopt},
      {"{%r ", std::nullopt},
      {"{%r x %", std::nullopt},
      {"{{r \xC3\xA9", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(isolate(c.input), c.output) << c.input;
}

TEST(RunTags, MultiByteCharacters) {
  const Case cases[] = {
      // Non-ASCII white space after the keyword: U+00A0, U+0085, U+3000, U+2028.
      {"{{r\xC2\xA0x}}", alone("{{r\xC2\xA0x}}")},
      {"{{r\xC2\x85}}", alone("{{r\xC2\x85}}")},
      {"{%r\xE3\x80\x80%}", alone("{%r\xE3\x80\x80%}")},
      {"{%r\xE2\x80\xA8x%}", alone("{%r\xE2\x80\xA8x%}")},
      // U+001C is white space, U+200B and U+FEFF are not.
      {"{{r\x1Cx}}", alone("{{r\x1Cx}}")},
      {"{{r\xE2\x80\x8Bx}}", std::nullopt},
      {"{{r\xEF\xBB\xBFx}}", std::nullopt},
      // Characters of every length right against the markers.
      {"\xC3\xA9{%r \xE2\x82\xAC%}\xF0\x9F\x98\x80",
       "\xC3\xA9" + alone("{%r \xE2\x82\xAC%}") + "\xF0\x9F\x98\x80"},
      {"\xF0\x9F\x98\x80{{r \xC3\xA9}}\xC3\xA9",
       "\xF0\x9F\x98\x80" + alone("{{r \xC3\xA9}}") + "\xC3\xA9"},
      {"{{r\xC3\xA9}}", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(isolate(c.input), c.output) << c.input;
}

TEST(RunTags, ManyUnclosedOpenersStayUnchanged) {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "{{r a {%r b ";
  EXPECT_EQ(isolate(text), std::nullopt);
  EXPECT_EQ(isolate(text + "%}"), "{{r a " + alone(text.substr(6) + "%}"));
}

}  // namespace
}  // namespace tesserine
