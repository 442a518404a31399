#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "pass_test_util.h"
#include "patch/passes.h"

namespace tesserine {
namespace {

std::optional<std::string> join(std::string_view text) { return rewrite(join_split_delimiters, text); }

TEST(SplitDelimiters, JoinsOrLeavesText) {
  const Case cases[] = {
      {"<w:t>{</w:t></w:r><w:r><w:t>{ name }</w:t></w:r><w:r><w:t>}</w:t>",
       "<w:t>{{ name }}</w:t>"},
      {"{</w:t><w:t> {", std::nullopt},
      {"{<a>{<b>%", "{{%"},
      {"%</w:t><w:t>}", "%}"},
      {"#<x/>}", "#}"},
      {"{<a>#", "{#"},
      {"}</w:t><w:t>{", std::nullopt},
      {"%<a>%", std::nullopt},
      {"a<b>{", std::nullopt},
      // Truncated markup and delimiters at the very end.
      {"x{<a", std::nullopt},
      {"x{<a>", std::nullopt},
      {"x{<a><b", std::nullopt},
      {"{<a><b>", std::nullopt},
      {"{", std::nullopt},
      {"<", std::nullopt},
      {"<a>{", std::nullopt},
      {"", std::nullopt},
      // A "<" at offset 0 is never examined; the one after it is.
      {"<{<a>%", "<{%"},
      // Multi-byte characters around the delimiters stay whole.
      {"\xF0\x9F\x98\x80{<a>{\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80{{\xF0\x9F\x98\x80"},
      {"{<a>\xF0\x9F\x98\x80", std::nullopt},
      {"\xE2\x80\x9C}<a \xE2\x80\x9D>}", "\xE2\x80\x9C}}"},
  };
  for (const Case& c : cases) EXPECT_EQ(join(c.input), c.output) << c.input;
}

// The steps of the algorithm written out one by one, without any shortcut.
std::optional<std::string> literal_join(std::string_view text) {
  std::string out;
  size_t copied = 0, pos = 1;
  bool changed = false;
  for (size_t l; !text.empty() && (l = text.find('<', pos)) != std::string_view::npos;) {
    pos = l + 1;
    const char b = text[l - 1];
    const std::string_view expected = b == '{' ? "{%#" : (b == '}' || b == '%' || b == '#') ? "}" : "";
    if (expected.empty()) continue;
    size_t p = l;
    bool closed = true;
    while (closed && text[p] == '<') {
      const size_t gt = text.find('>', p + 1);
      closed = gt != std::string_view::npos && gt + 1 < text.size();
      if (closed) p = gt + 1;
    }
    if (!closed || expected.find(text[p]) == std::string_view::npos) continue;
    out.append(text.substr(copied, l - copied));
    copied = pos = p;
    changed = true;
  }
  if (!changed) return std::nullopt;
  out.append(text.substr(copied));
  return out;
}

TEST(SplitDelimiters, AgreesWithTheStepByStepAlgorithm) {
  const std::string_view pieces[] = {"{", "}", "%", "#", "<", ">", "<a>", "<w:t>", "x", "\xC3\xA9"};
  std::mt19937 rng(7);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const size_t len = rng() % 14;
    for (size_t i = 0; i < len; ++i) text += pieces[rng() % std::size(pieces)];
    ASSERT_EQ(join(text), literal_join(text)) << text;
  }
}

// Long texts cross the windows in which the pass searches and then copies, with
// splits and multi-byte characters at every place relative to their edges.
TEST(SplitDelimiters, AgreesOnLongTexts) {
  const std::string filler(61, 'y');
  const std::string_view pieces[] = {"{", "}", "%", "#", "<a>", "</w:t><w:t>", "<", ">",
                                     "\xC3\xA9", "\xF0\x9F\x98\x80", filler};
  std::mt19937 rng(5);
  int rewritten = 0;
  for (int round = 0; round < 40; ++round) {
    std::string text;
    while (text.size() < 40000) text += pieces[rng() % std::size(pieces)];
    const std::optional<std::string> got = join(text);
    ASSERT_EQ(got, literal_join(text)) << round;
    rewritten += got.has_value();
  }
  EXPECT_EQ(rewritten, 40);
}

}  // namespace
}  // namespace tesserine
