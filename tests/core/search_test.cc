#include "scan/search.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fault.h"

namespace tesserine {
namespace {

// Naive oracles: the definitions, spelled out.
Offset naive_find(std::string_view t, std::string_view p, size_t from, size_t to) {
  if (from > to) return std::nullopt;
  for (size_t i = from; i + p.size() <= to; ++i)
    if (t.substr(i, p.size()) == p) return i;
  return std::nullopt;
}
Offset naive_rfind(std::string_view t, std::string_view p, size_t from, size_t to) {
  if (from > to || p.size() > to - from) return std::nullopt;
  for (size_t i = to - p.size() + 1; i-- > from;)
    if (t.substr(i, p.size()) == p) return i;
  return std::nullopt;
}

TEST(Search, BoundedSubstringSearches) {
  const std::string_view t = "abcabc";
  EXPECT_EQ(find_in(t, "bc", 2, 6), 4u);
  EXPECT_EQ(find_in(t, "bc", 2, 4), std::nullopt);
  EXPECT_EQ(find_in(t, "bc", 5, 4), std::nullopt);
  EXPECT_EQ(find_in(t, "", 3, 5), 3u);
  EXPECT_EQ(rfind_in(t, "bc", 0, 6), 4u);
  EXPECT_EQ(rfind_in(t, "bc", 0, 5), 1u);
  EXPECT_EQ(rfind_in(t, "", 2, 5), 5u);
  EXPECT_EQ(rfind_in(t, "c", 0, 2), std::nullopt);
  EXPECT_EQ(find_from(t, "a", 7), std::nullopt);
  EXPECT_EQ(find_from(t, "", 6), 6u);
  EXPECT_THROW(find_in(t, "a", 0, 7), Fault);
  EXPECT_THROW(rfind_in(t, "a", 0, 7), Fault);
  EXPECT_TRUE(starts_at(t, 3, "abc"));
  EXPECT_FALSE(starts_at(t, 4, "bcd"));
  EXPECT_FALSE(starts_at(t, 9, ""));
}

// Random texts over a tiny alphabet make matches, near-misses and periodic
// patterns common; every range and padding is checked against the oracles.
TEST(Search, AgreesWithOracleOnRandomTexts) {
  std::mt19937 rng(12345);
  const std::string patterns[] = {"a", "ab", "aab", "aaaa", "abab", "</w:t>", "aaaaaaaaab",
                                  std::string(40, 'a') + "b"};
  for (int round = 0; round < 300; ++round) {
    std::string t;
    const size_t len = rng() % 120;
    for (size_t i = 0; i < len; ++i) t.push_back("ab</w:t>"[rng() % (round % 2 ? 2 : 8)]);
    for (const std::string& p : patterns) {
      const size_t from = len ? rng() % (len + 1) : 0;
      const size_t to = from + (len - from ? rng() % (len - from + 1) : 0);
      EXPECT_EQ(find_in(t, p, from, to), naive_find(t, p, from, to)) << t << " / " << p;
      EXPECT_EQ(rfind_in(t, p, from, to), naive_rfind(t, p, from, to)) << t << " / " << p;
    }
  }
}

TEST(Search, ReverseSearchStaysCorrectPastItsVerificationBudget) {
  // Many near-misses of a long periodic pattern push the reverse search into
  // its fallback; the answer must not change.
  const std::string p = std::string(30, 'a') + "b";
  for (size_t hit : {size_t{0}, size_t{5}, size_t{3000}}) {
    std::string t(4000, 'a');
    t.replace(hit, p.size(), p);
    EXPECT_EQ(rfind_in(t, p, 0, t.size()), naive_rfind(t, p, 0, t.size()));
    EXPECT_EQ(rfind_in(t, p, 1, t.size()), naive_rfind(t, p, 1, t.size()));
  }
  const std::string none(5000, 'a');
  EXPECT_EQ(rfind_in(none, p, 0, none.size()), std::nullopt);
}

TEST(Search, ByteSearches) {
  const std::string t = "x{y}z%";
  for (size_t pad = 0; pad < 35; ++pad) {
    const std::string padded = std::string(pad, '.') + t + std::string(pad, '.');
    EXPECT_EQ(find_byte(padded, '{', 0), pad + 1);
    EXPECT_EQ(rfind_byte(padded, '.', 0, pad + 1), pad ? Offset(pad - 1) : std::nullopt);
    EXPECT_EQ(find_any_byte(padded, "}%", pad + 2), pad + 3);
    EXPECT_EQ(find_any_byte(padded, "%!", pad + 4), pad + 5);
    EXPECT_EQ(find_any_byte(padded, "!?", 0), std::nullopt);
  }
  // Short ranges inside longer texts: bytes just past the range never count.
  std::mt19937 rng(17);
  for (int round = 0; round < 2000; ++round) {
    std::string u;
    for (size_t i = rng() % 70; i > 0; --i) u.push_back("ab{}"[rng() % 4]);
    const size_t from = rng() % (u.size() + 2), to = rng() % (u.size() + 2);
    Offset want_byte, want_any;
    for (size_t i = std::min(to, u.size()); i-- > from;) {
      if (u[i] == '{') want_byte = i;
      if (u[i] == '{' || u[i] == '}') want_any = i;
    }
    ASSERT_EQ(find_byte(u, '{', from, to), want_byte) << u << " " << from << " " << to;
    ASSERT_EQ(find_any_byte(u, "}{", from, to), want_any) << u << " " << from << " " << to;
  }
}

TEST(Search, SkipSpaceUsesPythonsWhiteSpace) {
  EXPECT_EQ(skip_space(" \u3000x", 0), 4u);
  EXPECT_EQ(skip_space("\x1cx", 0), 1u);
  EXPECT_EQ(skip_space("\u200bx", 0), 0u);
  EXPECT_EQ(skip_space("\ufeffx", 0), 0u);
  EXPECT_EQ(skip_space("ab", 5), 5u);
  EXPECT_THROW(skip_space("\u00a0x", 1), Fault);
  // Every white-space code point, and its neighbours that are not.
  const char32_t spaces[] = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x1C, 0x1D, 0x1E, 0x1F, 0x20, 0x85,
                             0xA0, 0x1680, 0x2000, 0x2005, 0x200A, 0x2028, 0x2029, 0x202F,
                             0x205F, 0x3000};
  const char32_t others[] = {0x08, 0x0E, 0x1B, 0x21, 0x84, 0x86, 0x9F, 0xA1, 0x167F, 0x1681,
                             0x1FFF, 0x200B, 0x2027, 0x202A, 0x202E, 0x2030, 0x205E, 0x2060,
                             0x2FFF, 0x3001, 0xFEFF, 0x1F600};
  auto utf8 = [](char32_t c) {
    std::string s;
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else if (c < 0x800) {
      s += static_cast<char>(0xC0 | (c >> 6));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      s += static_cast<char>(0xE0 | (c >> 12));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (c >> 18));
      s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
  };
  for (char32_t c : spaces) {
    const std::string s = utf8(c);
    EXPECT_EQ(space_length(s + "x", 0), s.size()) << std::hex << static_cast<uint32_t>(c);
    EXPECT_EQ(space_length(s, 0), s.size()) << std::hex << static_cast<uint32_t>(c);  // at the very end
  }
  for (char32_t c : others) EXPECT_EQ(space_length(utf8(c) + "x", 0), 0u) << std::hex << static_cast<uint32_t>(c);
  EXPECT_EQ(space_length("\xE3\x80", 0), 0u);  // truncated sequence
}

TEST(Search, StartTags) {
  const StartTagPattern tr{"<w:tr", false};
  EXPECT_EQ(find_start_tag("<w:trPr><w:tr>", tr, 0), 8u);
  EXPECT_EQ(find_start_tag("<w:tr", tr, 0), std::nullopt);
  EXPECT_EQ(find_start_tag("<w:tr w:x=\"1\">", tr, 0), 0u);
  EXPECT_EQ(find_start_tag("<w:tr>", tr, 7), std::nullopt);
  EXPECT_EQ(rfind_start_tag("<w:tr><w:trPr>", tr, 0, 14), 0u);
  EXPECT_EQ(rfind_start_tag("<w:tr><w:tr>", tr, 0, 5), 0u);  // follow byte past `to`
  EXPECT_EQ(rfind_start_tag("<w:tr><w:tr>", tr, 1, 12), 6u);
  EXPECT_EQ(rfind_start_tag("<w:tr><w:tr>", tr, 1, 10), std::nullopt);
  const StartTagPattern p{"<w:p", false};
  EXPECT_EQ(find_start_tag("<w:pPr><w:proofErr/><w:p/><w:p >", p, 0), 26u);
  const StartTagPattern t{"<w:t>", true};
  EXPECT_EQ(rfind_start_tag("<w:t>{{", t, 0, 5), 0u);
}

TEST(Search, StatementTags) {
  auto at = [](std::string_view text, size_t from) {
    auto t = find_stmt_tag(text, "vm", from);
    return t ? std::make_pair(t->start, t->end) : std::make_pair(SIZE_MAX, SIZE_MAX);
  };
  using P = std::pair<size_t, size_t>;
  EXPECT_EQ(at("{%- vm %}{% vm %}", 0), P(9, 17));
  EXPECT_EQ(at("{%vm%}", 0), P(0, 6));
  EXPECT_EQ(at("{%\n\tvm\u3000%}", 0), P(0, 11));
  EXPECT_EQ(at("{% vm%}", 0), P(0, 7));
  EXPECT_EQ(at("{% vm -%}{% vmx %}{% v m %}", 0), P(SIZE_MAX, SIZE_MAX));
  EXPECT_EQ(at("{% vm %}", 1), P(SIZE_MAX, SIZE_MAX));
  EXPECT_EQ(at("{%{% vm %}", 0), P(2, 10));
  EXPECT_EQ(at("{% vm %", 0), P(SIZE_MAX, SIZE_MAX));
  EXPECT_EQ(at("x", 5), P(SIZE_MAX, SIZE_MAX));
}

TEST(Search, PreparedLiteralsAgreeWithPlainPatterns) {
  std::mt19937 rng(99);
  const Literal prepared[] = {Literal("</w:t>"), Literal("{%-"), Literal("ab"), Literal("a")};
  for (int round = 0; round < 300; ++round) {
    std::string t;
    for (size_t i = rng() % 160; i > 0; --i) t.push_back("ab</w:t>{%-"[rng() % 11]);
    for (const Literal& lit : prepared) {
      const size_t from = rng() % (t.size() + 2), to = rng() % (t.size() + 1);
      EXPECT_EQ(find_in(t, lit, from, to), naive_find(t, lit.view(), from, to)) << t;
      EXPECT_EQ(rfind_in(t, lit, from, to), naive_rfind(t, lit.view(), from, to)) << t;
      EXPECT_EQ(find_from(t, lit, from), find_from(t, lit.view(), from)) << t;
    }
  }
}

TEST(Search, DelimiterPairsAndUnclosedMarkup) {
  const std::string_view t = "a{r{<x>%<y>\x3e";
  EXPECT_EQ(find_any_followed(t, "{", 'r', 2, 0), std::nullopt);
  EXPECT_EQ(find_any_followed("a{xr{", "{", 'r', 2, 0), 1u);
  EXPECT_EQ(find_any_followed(t, "{}%#", '<', 1, 0), 3u);
  EXPECT_EQ(find_any_followed(t, "{}%#", '<', 1, 4), 7u);
  EXPECT_EQ(find_any_followed(t, "{}%#", '<', 1, 99), std::nullopt);
  size_t batch[2];
  EXPECT_EQ(find_all_any_followed(t, "{}%#", '<', 1, 0, batch), 2u);
  EXPECT_EQ(batch[0], 3u);
  EXPECT_EQ(batch[1], 7u);
  EXPECT_EQ(find_all_any_followed(t, "{}%#", '<', 1, 4, batch), 1u);
  EXPECT_EQ(find_all_any_followed(t, "{}%#", '<', 1, t.size(), batch), 0u);
  EXPECT_EQ(find_byte_unfollowed("<a><b>c>", '>', '<', 0), 5u);
  EXPECT_EQ(find_byte_unfollowed("<a><b>c>", '>', '<', 6), 7u);  // the last byte counts
  EXPECT_EQ(find_byte_unfollowed("<a><b>", '>', '<', 0), 5u);
  EXPECT_EQ(find_byte_unfollowed("<a><", '>', '<', 0), std::nullopt);
}

TEST(Search, SkipSpaceBackIsTheInverseOfSkipSpace) {
  EXPECT_EQ(skip_space_back("{% \u3000\tvm", 7), 2u);
  EXPECT_EQ(skip_space_back("x\u00a0vm", 3), 1u);
  EXPECT_EQ(skip_space_back("\u200bvm", 3), 3u);  // U+200B is not white space
  EXPECT_EQ(skip_space_back("  vm", 2), 0u);
  EXPECT_EQ(skip_space_back("\xe2\x80\x80vm", 3), 0u);
  std::mt19937 rng(17);
  const std::string_view pieces[] = {" ", "\t", "\u3000", "\u00a0", "\u2028", "\x1c",
                                     "\u200b", "\u00e0", "\u4e2d", "x", "%"};
  for (int round = 0; round < 3000; ++round) {
    std::string t;
    for (size_t i = rng() % 8; i > 0; --i) t += pieces[rng() % std::size(pieces)];
    const size_t j = t.size();
    t += "vm";
    const size_t w = skip_space_back(t, j);
    EXPECT_EQ(skip_space(t, w), j) << t;
    // Nothing before w could be added: the character ending at w is not white space.
    if (w > 0) {
      size_t start = w - 1;
      while ((static_cast<unsigned char>(t[start]) & 0xC0) == 0x80) --start;
      EXPECT_EQ(space_length(t, start), 0u) << t;
    }
  }
}

// The statement-tag search as written: through every "{%".
std::optional<StmtTag> naive_stmt_tag(std::string_view text, std::string_view kw, size_t from) {
  for (size_t k = text.find("{%", from); k != std::string_view::npos; k = text.find("{%", k + 1)) {
    const size_t j = skip_space(text, k + 2);
    if (!starts_at(text, j, kw)) continue;
    const size_t e = skip_space(text, j + kw.size());
    if (starts_at(text, e, "%}")) return StmtTag{k, e + 2};
  }
  return std::nullopt;
}

TEST(Search, StatementTagsMatchASearchThroughEveryOpener) {
  std::mt19937 rng(23);
  const std::string_view pieces[] = {"{%", "{", "%", "%}", "}", "vm", "v", "m", " ", "\t",
                                     "\u3000", "\u00a0", "-", "x", "{%vm", "vm%}"};
  for (int round = 0; round < 20000; ++round) {
    std::string t;
    for (size_t i = rng() % 12; i > 0; --i) t += pieces[rng() % std::size(pieces)];
    const size_t from = rng() % (t.size() + 2);
    const auto got = find_stmt_tag(t, "vm", from);
    const auto want = from <= t.size() ? naive_stmt_tag(t, "vm", from) : std::nullopt;
    ASSERT_EQ(got.has_value(), want.has_value()) << t << " from " << from;
    if (got) {
      ASSERT_EQ(got->start, want->start) << t;
      ASSERT_EQ(got->end, want->end) << t;
    }
  }
}

TEST(Search, FindAllGivesEveryOccurrenceInBatches) {
  std::mt19937 rng(29);
  const std::string_view pieces[] = {"<w:p", "<w:pPr>", "w:p", "<w:", "p", "<", "x", "</w:p>"};
  const Literal needle("<w:p");
  for (int round = 0; round < 3000; ++round) {
    std::string t;
    for (size_t i = rng() % 60; i > 0; --i) t += pieces[rng() % std::size(pieces)];
    std::vector<size_t> want;
    for (size_t k = t.find("<w:p"); k != std::string::npos; k = t.find("<w:p", k + 1))
      want.push_back(k);
    for (simd::Level level : {simd::Level::Scalar, simd::best_level()}) {
      simd::force_level(level);
      std::vector<size_t> got;
      size_t batch[3];
      for (size_t from = 0;;) {
        const size_t count = find_all(t, needle, from, batch);
        got.insert(got.end(), batch, batch + count);
        if (count < std::size(batch)) break;
        from = batch[count - 1] + 1;
      }
      ASSERT_EQ(got, want) << t;
    }
    simd::force_level(simd::best_level());
  }
}

}  // namespace
}  // namespace tesserine
