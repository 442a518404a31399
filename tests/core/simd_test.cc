#include "scan/simd.h"
#include "levels.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace tesserine::simd {
namespace {

using vector_levels::LevelGuard;
using vector_levels::levels;

const char* naive_find(const std::string& h, const std::string& nd) {
  size_t i = h.find(nd);
  return i == std::string::npos ? nullptr : h.data() + i;
}
const char* naive_rfind(const std::string& h, const std::string& nd) {
  size_t i = h.rfind(nd);
  return i == std::string::npos ? nullptr : h.data() + i;
}

TEST(Simd, SubstringKernelsMatchTheOracleAtEveryPadding) {
  LevelGuard guard;
  const std::string needles[] = {"</w:t>", "<w:p", "{%", "-%}", "w:gridSpan w:val=\"",
                                 "aa", std::string(33, 'a') + "b"};
  const std::string seeds[] = {"<w:p><w:r><w:t>x</w:t></w:r></w:p>", "{%- a -%}{% b %}",
                               std::string(70, 'a') + "b" + std::string(40, 'a'),
                               "<w:tab/><w:t xml:space=\"preserve\">", ""};
  for (Level level : levels()) {
    force_level(level);
    for (const std::string& seed : seeds)
      for (size_t pad = 0; pad <= 34; ++pad)
        for (const std::string& nd : needles) {
          const std::string h = std::string(pad, '.') + seed + std::string(pad % 7, ':');
          EXPECT_EQ(find_substring(h.data(), h.size(), nd.data(), nd.size()), naive_find(h, nd))
              << static_cast<int>(level) << " " << h << " " << nd;
          EXPECT_EQ(rfind_substring(h.data(), h.size(), nd.data(), nd.size()), naive_rfind(h, nd))
              << static_cast<int>(level) << " " << h << " " << nd;
        }
  }
}

TEST(Simd, RandomTextsOverSmallAlphabets) {
  LevelGuard guard;
  std::mt19937 rng(7);
  for (int round = 0; round < 400; ++round) {
    const char* alphabet = round % 2 ? "ab" : "<w:t>/";
    const size_t k = std::char_traits<char>::length(alphabet);
    std::string h, nd;
    for (size_t i = rng() % 300; i > 0; --i) h.push_back(alphabet[rng() % k]);
    for (size_t i = 2 + rng() % 6; i > 0; --i) nd.push_back(alphabet[rng() % k]);
    for (Level level : levels()) {
      force_level(level);
      ASSERT_EQ(find_substring(h.data(), h.size(), nd.data(), nd.size()), naive_find(h, nd));
      ASSERT_EQ(rfind_substring(h.data(), h.size(), nd.data(), nd.size()), naive_rfind(h, nd));
    }
  }
}

TEST(Simd, PeriodicInputsExhaustTheFilterAndStayCorrect) {
  LevelGuard guard;
  // Every position passes the two-byte filter, so the budget runs out and the
  // linear fallbacks finish the search.
  const std::string nd = std::string(20, 'a') + "b";
  for (size_t hit : {size_t{0}, size_t{17}, size_t{2500}, size_t{4979}}) {
    std::string h(5000, 'a');
    h.replace(hit, nd.size(), nd);
    for (Level level : levels()) {
      force_level(level);
      EXPECT_EQ(find_substring(h.data(), h.size(), nd.data(), nd.size()), naive_find(h, nd));
      EXPECT_EQ(rfind_substring(h.data(), h.size(), nd.data(), nd.size()), naive_rfind(h, nd));
    }
  }
  const std::string long_needle = std::string(300, 'a') + "b";
  std::string h(3000, 'a');
  h.replace(100, long_needle.size(), long_needle);
  EXPECT_EQ(rfind_substring(h.data(), h.size(), long_needle.data(), long_needle.size()),
            h.data() + 100);
}

TEST(Simd, FindAnyAtEveryPadding) {
  LevelGuard guard;
  for (Level level : levels()) {
    force_level(level);
    for (size_t pad = 0; pad <= 70; ++pad) {
      std::string h(pad, 'x');
      EXPECT_EQ(find_any(h.data(), h.size(), "\a\t\n\f", 4), nullptr);
      h += "\f";
      h += std::string(pad % 5, 'y');
      EXPECT_EQ(find_any(h.data(), h.size(), "\a\t\n\f", 4), h.data() + pad);
      EXPECT_EQ(find_any(h.data(), h.size(), "y\f", 2), h.data() + pad);
      EXPECT_EQ(find_any(h.data(), h.size(), "yz", 2), pad % 5 ? h.data() + pad + 1 : nullptr);
      // Sets whose members share a low nibble or have the top bit set.
      EXPECT_EQ(find_any(h.data(), h.size(), "\x1c\f", 2), h.data() + pad);
      EXPECT_EQ(find_any(h.data(), h.size(), "\xE2\f", 2), h.data() + pad);
      // Bytes that share a member's low nibble are not members.
      h.insert(pad, "\x8c\x1c\x4c");
      EXPECT_EQ(find_any(h.data(), h.size(), "\a\t\n\f", 4), h.data() + pad + 3);
    }
  }
}

TEST(Simd, SubstringBlocksAndTailsAtEveryOffset) {
  // One occurrence at each offset of haystacks long enough for the unrolled
  // loops and the final overlapping block; "{%-" filters on a byte that markup
  // seldom holds first, "</w:t>" on two common ones.
  LevelGuard guard;
  for (Level level : levels()) {
    force_level(level);
    for (const std::string nd : {"{%-", "</w:t>", "vm"}) {
      for (size_t n : {size_t{40}, size_t{95}, size_t{96}, size_t{97}, size_t{200}, size_t{420}}) {
        for (size_t at = 0; at + nd.size() <= n; ++at) {
          std::string h(n, 'w');
          // Near-misses, or (at every other offset) blocks with no candidate.
          if (at % 2 == 0)
            for (size_t i = 0; i < n; i += 3) h[i] = nd[i % nd.size()];
          h.replace(at, nd.size(), nd);
          ASSERT_EQ(find_substring(h.data(), h.size(), nd.data(), nd.size()), naive_find(h, nd))
              << static_cast<int>(level) << " " << nd << " " << n << " " << at;
          ASSERT_EQ(rfind_substring(h.data(), h.size(), nd.data(), nd.size()), naive_rfind(h, nd))
              << static_cast<int>(level) << " " << nd << " " << n << " " << at;
        }
      }
    }
  }
}

TEST(Simd, AnyFilterPairGivesTheSameAnswer) {
  LevelGuard guard;
  std::mt19937 rng(3);
  const std::string nd = "{%-x%}";
  for (int round = 0; round < 200; ++round) {
    std::string h;
    for (size_t i = rng() % 150; i > 0; --i) h.push_back("{%-x}"[rng() % 5]);
    for (Level level : levels()) {
      force_level(level);
      for (uint32_t a = 0; a < nd.size(); ++a)
        for (uint32_t b = 0; b < nd.size(); ++b) {
          if (a == b) continue;
          const PairFilter pair{a, b};
          ASSERT_EQ(find_substring(h.data(), h.size(), nd.data(), nd.size(), pair),
                    naive_find(h, nd));
          ASSERT_EQ(rfind_substring(h.data(), h.size(), nd.data(), nd.size(), pair),
                    naive_rfind(h, nd));
        }
    }
  }
}

const char* naive_any_followed(const std::string& h, std::string_view set, char follow,
                               size_t gap) {
  for (size_t s = 0; s + gap < h.size(); ++s)
    if (set.find(h[s]) != std::string_view::npos && h[s + gap] == follow) return h.data() + s;
  return nullptr;
}

const char* naive_unfollowed(const std::string& h, char byte, char next) {
  for (size_t s = 0; s < h.size(); ++s)
    if (h[s] == byte && (s + 1 == h.size() || h[s + 1] != next)) return h.data() + s;
  return nullptr;
}

TEST(Simd, FollowedAndUnfollowedBytesMatchTheOracle) {
  LevelGuard guard;
  std::mt19937 rng(5);
  for (int round = 0; round < 600; ++round) {
    std::string h;
    // Mostly filler, so that hits fall in every block position and in the tails.
    for (size_t i = rng() % 180; i > 0; --i) {
      if (rng() % 8) h.push_back('a');
      else h += std::string_view("{}%#<r>><")
               .substr(rng() % 8, 1 + rng() % 2);
    }
    const size_t gap = rng() % 4;
    for (Level level : levels()) {
      force_level(level);
      for (std::string_view set : {"{", "{}", "{}%", "{}%#", "{k", "\xE2}"})
        ASSERT_EQ(find_any_followed(h.data(), h.size(), set.data(), set.size(), '<', gap),
                  naive_any_followed(h, set, '<', gap))
            << static_cast<int>(level) << " " << h << " " << set << " " << gap;
      ASSERT_EQ(find_any_followed(h.data(), h.size(), "{", 1, 'r', 2),
                naive_any_followed(h, "{", 'r', 2));
      // At no distance: the byte alone.
      ASSERT_EQ(find_any_followed(h.data(), h.size(), "<", 1, '<', 0),
                naive_any_followed(h, "<", '<', 0));
      ASSERT_EQ(find_byte_unfollowed(h.data(), h.size(), '>', '<'), naive_unfollowed(h, '>', '<'))
          << static_cast<int>(level) << " " << h;
    }
  }
}

TEST(Simd, BatchesOfFollowedBytesMatchTheOracle) {
  LevelGuard guard;
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    // Long enough for several unrolled blocks; hits cluster in some of them.
    std::string h;
    for (size_t i = rng() % 700; i > 0; --i) {
      if (rng() % (round % 3 ? 30 : 4)) h.push_back(rng() % 5 ? 'a' : '<');
      else h += std::string_view("{}%#k\x8b<")[rng() % 7];
    }
    const size_t gap = 1 + rng() % 2;
    const size_t from = rng() % (h.size() + 2);
    for (std::string_view set : {"{}%#", "{k", "\xE2}"}) {
      std::vector<size_t> want;
      for (size_t s = from; s + gap < h.size(); ++s)
        if (set.find(h[s]) != std::string_view::npos && h[s + gap] == '<') want.push_back(s);
      for (Level level : levels()) {
        force_level(level);
        for (size_t cap : {size_t{1}, size_t{3}, size_t{64}}) {
          std::vector<size_t> got, batch(cap);
          for (size_t at = from;;) {
            const size_t count = find_all_any_followed(h.data(), h.size(), at, set.data(),
                                                       set.size(), '<', gap, batch.data(), cap);
            got.insert(got.end(), batch.begin(), batch.begin() + count);
            if (count < cap) break;
            at = batch[count - 1] + 1;
          }
          ASSERT_EQ(got, want) << static_cast<int>(level) << " " << h << " " << set << " " << cap;
        }
      }
    }
  }
}

TEST(Simd, CopyBytesCopiesExactlyTheRange) {
  LevelGuard guard;
  std::string src(5000, '\0');
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<char>('a' + i % 23);
  for (Level level : levels()) {
    force_level(level);
    for (size_t n : {0, 1, 31, 255, 256, 257, 288, 383, 384, 415, 4096, 4997}) {
      std::string dst(src.size() + 64, '#');
      copy_bytes(dst.data() + 7, src.data() + 3, n);
      ASSERT_EQ(dst.substr(0, 7), std::string(7, '#')) << n;
      ASSERT_TRUE(dst.substr(7, n) == src.substr(3, n)) << static_cast<int>(level) << " " << n;
      ASSERT_EQ(dst.substr(7 + n), std::string(dst.size() - 7 - n, '#')) << n;
    }
  }
}

TEST(Simd, CopyToFollowedStopsAtTheFirstMatchAndWritesNothingBeyond) {
  LevelGuard guard;
  std::mt19937 rng(11);
  for (Level level : levels()) {
    force_level(level);
    for (int round = 0; round < 400; ++round) {
      std::string src(rng() % 400, 'x');
      for (char& c : src) c = "{%-x y<"[rng() % (round % 2 ? 7 : 3)];
      // At no distance the follow byte is the byte itself: every "{" stops it.
      const size_t gap = rng() % 4;
      const char follow = gap == 0 ? '{' : '%';
      const size_t n = src.empty() ? 0 : rng() % (src.size() + 1);
      const size_t avail = n + rng() % (src.size() - n + 1);
      size_t want = n;
      for (size_t i = 0; i < n && want == n; ++i)
        if (src[i] == '{' && i + gap < avail && src[i + gap] == follow) want = i;
      std::string dst(n + 40, '#');
      const size_t got = copy_to_followed(dst.data(), src.data(), n, avail, '{', follow, gap);
      ASSERT_EQ(got, want) << static_cast<int>(level) << " " << src.substr(0, n) << " " << gap;
      ASSERT_EQ(dst.substr(0, got), src.substr(0, got));
      ASSERT_EQ(dst.substr(n), std::string(40, '#'));
    }
  }
}

}  // namespace
}  // namespace tesserine::simd
