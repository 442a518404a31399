// The copying search: a rewrite that searches through it gives the same text
// as a plain one, at every vector level.
#include "scan/copying_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>

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
  const std::string_view pieces[] = {
      "{%", "{", "%", "{{", "a", "\xC3\xA9", "\xE2\x80\x99", "\xF0\x9F\x98\x80", "<w:t>"};
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

}  // namespace
}  // namespace tesserine
