// The keyword-tag finder against a search through every «{%» that follows the
// definition, at every vector level: found in plain text, and found through the
// copying search of a rewrite that replaces each tag, in windows of every size.
#include "scan/keyword_tags.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <tuple>

#include "test_util.h"

namespace tesserine {
namespace {

using test::at_every_level;

using Found = std::optional<std::tuple<size_t, size_t, size_t, size_t>>;

Found as_tuple(const std::optional<KeywordTag>& tag) {
  if (!tag) return std::nullopt;
  return std::tuple(tag->start, tag->end, tag->body_start, tag->body_end);
}

size_t skip_white(std::string_view t, size_t i) {
  while (size_t len = space_length(t, i)) i += len;
  return i;
}

// The first tag of `form` whose «{%» starts at or after `from`.
Found oracle(std::string_view t, std::string_view kw, KeywordTagForm form, size_t from) {
  for (size_t k = t.find("{%", from); from <= t.size() && k != t.npos; k = t.find("{%", k + 1)) {
    const size_t j = skip_white(t, k + 2);
    if (t.substr(j, kw.size()) != kw) continue;
    const size_t after = j + kw.size(), b = skip_white(t, after);
    if (form == KeywordTagForm::Bare) {
      if (t.substr(b, 2) == "%}") return std::tuple(k, b + 2, b, b);
      continue;
    }
    const size_t m = t.find('%', b);
    if (b > after && b < t.size() && m != t.npos && t.substr(m, 2) == "%}")
      return std::tuple(k, m + 2, b, m);
  }
  return std::nullopt;
}

// Replaces every tag by "#" through a copying search over windows of `window`
// bytes, checking each answer against the oracle.
std::string replace_tags(std::string_view t, const Literal& kw, KeywordTagForm form,
                         size_t window) {
  Rewriter out(t);
  CopyingSearch search(out);
  for (size_t from = 0; from < t.size();) {
    const size_t to = std::min(t.size(), from + window);
    const std::optional<KeywordTag> tag = find_keyword_tag(search, kw, form, from, to);
    const Found want = oracle(t, kw.view(), form, from);
    if (!tag) {
      EXPECT_TRUE(!want || std::get<0>(*want) >= to) << t << " from " << from;
      from = to;
      continue;
    }
    EXPECT_EQ(as_tuple(tag), want) << t << " from " << from;
    search.copy_until(tag->start, tag->end);
    out.push_str("#");
    from = tag->end;
  }
  PassResult result = out.finish();
  return std::string(result.is_rewritten() ? result.text().view() : t);
}

TEST(KeywordTags, BothFormsMatchASearchThroughEveryOpener) {
  const std::string_view pieces[] = {"{%",     "{",      "%",    "%}",     "}",        "vm",
                                     "v",      "m",      " ",    "  ",     "\t",       "\u3000",
                                     "\u00a0", "\u2028", "\x1c", "\u200b", "\u00e0",   "\u4e2d",
                                     "-",      "x",      "{%vm", "vm%}",   "{% vm %}", "{%- vm"};
  const Literal vm("vm");
  at_every_level([&] {
    std::mt19937 rng(23);
    for (int round = 0; round < 4000 && !::testing::Test::HasFatalFailure(); ++round) {
      std::string t;
      for (size_t i = rng() % 14; i > 0; --i) t += pieces[rng() % std::size(pieces)];
      for (KeywordTagForm form : {KeywordTagForm::Bare, KeywordTagForm::WithExpression}) {
        for (size_t from = 0; from <= t.size() + 1; ++from)
          ASSERT_EQ(as_tuple(find_keyword_tag(t, vm, form, from)), oracle(t, "vm", form, from))
              << t << " from " << from;
        std::string want;
        size_t pos = 0;
        for (Found f = oracle(t, "vm", form, 0); f; f = oracle(t, "vm", form, pos)) {
          want.append(t, pos, std::get<0>(*f) - pos).append("#");
          pos = std::get<1>(*f);
        }
        want.append(t, pos);
        for (size_t window : {size_t{1}, size_t{5}, size_t{40}, t.size() + 1})
          ASSERT_EQ(replace_tags(t, vm, form, window), want) << t << " window " << window;
      }
    }
  });
}

}  // namespace
}  // namespace tesserine
