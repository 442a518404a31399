#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "pass_test_util.h"
#include "patch/passes.h"

namespace tesserine {
namespace {

std::optional<std::string> clean(std::string_view text) { return rewrite(clean_tag_bodies, text); }

TEST(TagBodies, CleansBodiesOnly) {
  const Case cases[] = {
      {"{{ “a” }}", "{{ \"a\" }}"},
      {"{% if x &gt; 1 %}", "{% if x > 1 %}"},
      {"{% if a &lt; b %}", "{% if a < b %}"},
      {"{{ ‘a’ }}", "{{ 'a' }}"},
      {"{{ &#8216;a&#8216; }}", "{{ 'a' }}"},
      {"{{ &#8217;a &quot; &amp; }}", std::nullopt},
      {"“a” {{ b }}", std::nullopt},
      {"{# “a” #}", std::nullopt},
      {"{{ “a”\n}}", std::nullopt},
      {"{{ “a”\r}}", "{{ \"a\"\r}}"},
      {"{% “a” }}", "{% \"a\" }}"},
      {"{{ a % “b” }}", "{{ a % \"b\" }}"},
      {"{{ “a” }} “b” }}", "{{ \"a\" }} “b” }}"},
      {"{{}} “x” {{ y }}", "{{}} \"x\" {{ y }}"},
      {"{{}}\n“x”", std::nullopt},
      // A line feed ends only the attempts that reach it.
      {"{{ “a” }}\n{{ “b” }}", "{{ \"a\" }}\n{{ \"b\" }}"},
      {"{% “a”\n %} {{ “b” }}", "{% “a”\n %} {{ \"b\" }}"},
      {"{% a\n{{ “b” }}", "{% a\n{{ \"b\" }}"},
      {"{{\n}} “x” }}", std::nullopt},
      // After an empty body the same opener may end at the very next closer.
      {"{{}}}&lt;}}", std::nullopt},
      {"{{ a &l }}", std::nullopt},
      {"{{ a &lt}}", std::nullopt},
      {"{{&lt;}}{%&gt;%}", "{{<}}{%>%}"},
      {"{{ “a” }}{{ ”b’ }}", "{{ \"a\" }}{{ \"b' }}"},
      // An opener that overlaps the previous closer starts a body of its own.
      {"{{ a{%} “b” %}", "{{ a{%} \"b\" %}"},
      // Unclosed tags and delimiters at the very end.
      {"{{ “a”", std::nullopt},
      {"{{ “a” }", std::nullopt},
      {"{", std::nullopt},
      {"x{{", std::nullopt},
      {"", std::nullopt},
      // Astral and other multi-byte characters next to every delimiter.
      {"\xF0\x9F\x98\x80{{\xF0\x9F\x98\x80“\xF0\x9F\x98\x80}}\xF0\x9F\x98\x80",
       "\xF0\x9F\x98\x80{{\xF0\x9F\x98\x80\"\xF0\x9F\x98\x80}}\xF0\x9F\x98\x80"},
      {"{%\xE2\x80\xA6%}", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(clean(c.input), c.output) << c.input;
}

// Only the body boundaries matter here: bodies are marked with brackets, in
// the step-by-step form of the search (a scan from each opener, an empty body
// never accepted twice at the same place).
std::string literal_bodies(std::string_view text) {
  std::string out;
  size_t copied = 0, last_end = 0;
  std::optional<size_t> last_empty;
  for (size_t j = 0; j < text.size(); ++j) {
    if (text[j] != '{') continue;
    for (bool again = true; again;) {
      again = false;
      const size_t b = j + 2;
      if (j + 1 >= text.size() || (text[j + 1] != '{' && text[j + 1] != '%') || b < last_end) break;
      size_t e = b;
      for (; e < text.size() && text[e] != '\n'; ++e) {
        const bool closer = (text[e] == '%' || text[e] == '}') && e + 1 < text.size() && text[e + 1] == '}';
        if (closer && !(e == b && last_empty == b)) break;
      }
      if (e >= text.size() || text[e] == '\n') break;
      if (e == b) {
        last_empty = last_end = b;
        again = true;
        continue;
      }
      out.append(text.substr(copied, b - copied)).append("[").append(text.substr(b, e - b)).append("]");
      copied = last_end = e;
    }
  }
  return out.append(text.substr(copied));
}

TEST(TagBodies, FindsTheBodiesOfTheStepByStepSearch) {
  // Each body holds one "&lt;", which the pass turns into "<"; the reference
  // marks bodies, so "[" + "&lt;" must become "<" exactly where the pass cleaned.
  // Long pieces put stretches in front of the openers that the search copies.
  const std::string filler(37, 'y');
  const std::string_view pieces[] = {"{", "}", "%", "\n", "&lt;", "x", "\xC3\xA9", filler};
  std::mt19937 rng(11);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const size_t len = rng() % 16;
    for (size_t i = 0; i < len; ++i) text += pieces[rng() % std::size(pieces)];
    std::string marked = literal_bodies(text), expected;
    for (size_t i = 0; i < marked.size();) {
      const size_t open = marked.find('[', i);
      if (open == std::string::npos) {
        expected += marked.substr(i);
        break;
      }
      const size_t close = marked.find(']', open);
      expected += marked.substr(i, open - i);
      const std::string_view body = std::string_view(marked).substr(open + 1, close - open - 1);
      for (size_t k = 0; k < body.size();) {
        const bool escape = body.substr(k, 4) == "&lt;";
        expected += escape ? '<' : body[k];
        k += escape ? 4 : 1;
      }
      i = close + 1;
    }
    const std::optional<std::string> got = clean(text);
    ASSERT_EQ(got.has_value(), expected != text) << text;
    ASSERT_EQ(got.value_or(text), expected) << text;
  }
}

}  // namespace
}  // namespace tesserine
