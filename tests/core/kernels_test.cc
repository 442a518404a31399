// The byte kernels, the scanning routines, the UTF-8 conversion and the
// paragraph-LF kernels, each against a plain oracle at every vector level, with
// matches and odd bytes at every offset of the vector blocks and of the tails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fault.h"
#include "render/paragraph_breaks.h"
#include "scan/rewriter.h"
#include "scan/search.h"
#include "scan/simd.h"
#include "scan/utf8.h"
#include "test_util.h"

namespace tesserine {
namespace {

using test::at_every_level;

// Every match of a batch search, asking again after the last match of each full batch.
template <class Batch>
std::vector<size_t> in_batches(size_t from, size_t cap, Batch batch) {
  std::vector<size_t> got, buffer(cap);
  for (;;) {
    const size_t count = batch(from, buffer.data(), cap);
    got.insert(got.end(), buffer.begin(), buffer.begin() + count);
    if (count < cap) return got;
    from = buffer[count - 1] + 1;
  }
}

// Both substring kernels, with the filter pair they choose and with `pair`.
void check_substring(std::string_view h, std::string_view nd, simd::PairFilter pair) {
  const auto at = [&](size_t i) { return i == h.npos ? nullptr : h.data() + i; };
  const char *p = h.data(), *q = nd.data();
  SCOPED_TRACE(::testing::Message() << h << " / " << nd);
  ASSERT_EQ(simd::find_substring(p, h.size(), q, nd.size()), at(h.find(nd)));
  ASSERT_EQ(simd::rfind_substring(p, h.size(), q, nd.size()), at(h.rfind(nd)));
  ASSERT_EQ(simd::find_substring(p, h.size(), q, nd.size(), pair), at(h.find(nd)));
  ASSERT_EQ(simd::rfind_substring(p, h.size(), q, nd.size(), pair), at(h.rfind(nd)));
}

// One occurrence at every offset of haystacks long enough for the unrolled loops
// and the final overlapping block, among near-misses (or, at odd offsets, in
// blocks with no candidate); then periodic texts on which every position passes
// the filter, so that the verification budget runs out and the linear fallbacks
// finish the search.
TEST(Simd, SubstringAtEveryOffsetAndPastTheVerificationBudget) {
  at_every_level([] {
    for (const std::string& nd : {std::string("{%-"), std::string("</w:t>"), std::string("vm"),
                                  std::string(33, 'a') + "b"}) {
      const size_t m = nd.size();
      for (size_t n : {size_t{0}, size_t{1}, m, size_t{40}, size_t{95}, size_t{96}, size_t{97},
                       size_t{200}, size_t{420}}) {
        for (size_t at = 0; at <= n && !::testing::Test::HasFatalFailure(); ++at) {
          std::string h(n, 'w');
          for (size_t i = 0; at % 2 == 0 && i < n; i += 3) h[i] = nd[i % m];
          if (at + m <= n) h.replace(at, m, nd);
          const auto a = static_cast<uint32_t>(at % m), b = static_cast<uint32_t>((at + 1) % m);
          check_substring(h, nd, {a, b});
        }
      }
    }
    for (const std::string& nd : {std::string(20, 'a') + "b", std::string(300, 'a') + "b"})
      for (size_t at : {size_t{0}, size_t{17}, size_t{2500}, size_t{4979} - nd.size() + 21}) {
        std::string h(5000, 'a');
        check_substring(h, nd, {0, 1});
        h.replace(at, nd.size(), nd);
        check_substring(h, nd, {0, 1});
        EXPECT_EQ(rfind_in(h, nd, 1, h.size()), at ? Offset(at) : std::nullopt);
      }
  });
}

// Tiny alphabets make matches, near-misses and periodic patterns common; short
// ranges inside longer texts show bytes just past the range counted.
TEST(Search, SearchesInsideRangesOnRandomTexts) {
  std::mt19937 rng(12345);
  const std::string patterns[] = {"ab",     "aab",        "abab",
                                  "</w:t>", "aaaaaaaaab", std::string(40, 'a') + "b"};
  for (int round = 0; round < 2000; ++round) {
    std::string t;
    for (size_t i = rng() % (round % 4 ? 70 : 300); i > 0; --i)
      t.push_back("ab{}</w:t>"[rng() % (round % 2 ? 2 : 10)]);
    const size_t from = rng() % (t.size() + 1), to = from + rng() % (t.size() - from + 1);
    SCOPED_TRACE(::testing::Message() << t << " " << from << " " << to);
    Offset brace, any, last_b;
    for (size_t i = to; i-- > from;) {
      if (t[i] == '{') brace = i;
      if (t[i] == '{' || t[i] == '}') any = i;
      if (t[i] == 'b' && !last_b) last_b = i;
    }
    at_every_level([&] {
      for (const std::string& p : patterns) {
        Offset first, last;
        for (size_t i = from; i + p.size() <= to; ++i)
          if (t.compare(i, p.size(), p) == 0) {
            if (!first) first = i;
            last = i;
          }
        ASSERT_EQ(find_in(t, p, from, to), first) << p;
        ASSERT_EQ(rfind_in(t, p, from, to), last) << p;
      }
      ASSERT_EQ(find_byte(t, '{', from, to), brace);
      ASSERT_EQ(find_any_byte(t, "}{", from, to), any);
      ASSERT_EQ(rfind_byte(t, 'b', from, to), last_b);
    });
  }
}

// Sets whose members share a low nibble or have the top bit set, among bytes that
// share a member's low nibble and are no members.
TEST(Simd, FindAnyAtEveryPadding) {
  at_every_level([] {
    for (size_t pad = 0; pad <= 70; ++pad) {
      const std::string h = std::string(pad, 'x') + "\x8c\x1c\x4c\f" + std::string(pad % 5, 'y');
      for (const char* set : {"\a\t\n\f", "\x1c\f", "\xE2\f", "yz", "\a"}) {
        const size_t want = h.find_first_of(set);
        EXPECT_EQ(simd::find_any(h.data(), h.size(), set, strlen(set)),
                  want == h.npos ? nullptr : h.data() + want)
            << set;
      }
    }
  });
}

// find_any_followed, its batch form (in the kernel and through the scanning
// routine) and find_byte_unfollowed, on texts whose hits are sparse in some
// rounds and clustered several to a block in others.
TEST(Simd, FollowedBytesMatchTheOracle) {
  std::mt19937 rng(5);
  for (int round = 0; round < 600; ++round) {
    std::string h;
    for (size_t i = rng() % (round % 2 ? 180 : 700); i > 0; --i)
      h.push_back(rng() % (round % 3 ? 8 : 3) ? "aaaa<"[rng() % 5] : "{}%#k\x8b<>r"[rng() % 9]);
    const size_t gap = rng() % 4, from = rng() % (h.size() + 2);
    at_every_level([&] {
      for (std::string_view set : {"{", "{}%#", "{k", "\xE2}", "<r"}) {
        SCOPED_TRACE(::testing::Message() << h << " " << set << " " << gap << " " << from);
        std::vector<size_t> want;
        for (size_t s = from; s + gap < h.size(); ++s)
          if (set.find(h[s]) != set.npos && h[s + gap] == '<') want.push_back(s);
        ASSERT_EQ(find_any_followed(h, set, '<', gap, from), want.empty() ? Offset() : want[0]);
        ASSERT_EQ(in_batches(from, 64,
                             [&](size_t at, size_t* out, size_t cap) {
                               return simd::find_all_any_followed(h.data(), h.size(), at,
                                                                  set.data(), set.size(), '<', gap,
                                                                  out, cap);
                             }),
                  want);
        ASSERT_EQ(in_batches(from, 3,
                             [&](size_t at, size_t* out, size_t cap) {
                               return find_all_any_followed(h, set, '<', gap, at,
                                                            std::span(out, cap));
                             }),
                  want);
      }
      Offset unfollowed;
      for (size_t s = from; s < h.size() && !unfollowed; ++s)
        if (h[s] == '>' && (s + 1 == h.size() || h[s + 1] != '<')) unfollowed = s;
      ASSERT_EQ(find_byte_unfollowed(h, '>', '<', from), unfollowed) << h;
    });
  }
}

// copy_to_followed stops at the first "{" with the follow byte `gap` after it
// (with gap 0, any "{"), looking no further than `avail`, and writes nothing past n.
TEST(Simd, CopyToFollowedStopsAtTheFirstMatch) {
  std::mt19937 rng(11);
  at_every_level([&] {
    for (int round = 0; round < 400; ++round) {
      std::string text(rng() % 400, 'x');
      for (char& c : text) c = "{%-x y<"[rng() % (round % 2 ? 7 : 3)];
      const size_t gap = rng() % 4, n = text.empty() ? 0 : rng() % (text.size() + 1);
      const size_t avail = n + rng() % (text.size() - n + 1);
      const char follow = gap == 0 ? '{' : '%';
      size_t want = n;
      for (size_t i = 0; i < n && want == n; ++i)
        if (text[i] == '{' && i + gap < avail && text[i + gap] == follow) want = i;
      std::string dst(n + 40, '#');
      const size_t got =
          simd::copy_to_followed(dst.data(), text.data(), n, avail, '{', follow, gap);
      ASSERT_EQ(got, want) << text.substr(0, n) << " " << gap;
      ASSERT_EQ(dst.substr(0, got), text.substr(0, got));
      ASSERT_EQ(dst.substr(n), std::string(40, '#'));
    }
  });
}

// White space is exactly what Python's str.isspace() accepts.
TEST(Search, WhiteSpaceAndItsNeighbours) {
  const std::u32string spaces =
      U"\t\n\v\f\r\x1c\x1d\x1e\x1f \x85\xa0\u1680\u2000\u2005\u200a"
      U"\u2028\u2029\u202f\u205f\u3000";
  const std::u32string others =
      U"\b\x0e\x1b!\x84\x86\x9f\xa1\u167f\u1681\u1fff\u200b\u2027"
      U"\u202a\u202e\u2030\u205e\u2060\u2fff\u3001\ufeff\U0001f600";
  for (char32_t c : spaces + others) {
    const std::string s = test::utf8_of(std::u32string(1, c));
    const size_t want = spaces.find(c) != spaces.npos ? s.size() : 0;
    EXPECT_EQ(space_length(s + "x", 0), want) << static_cast<uint32_t>(c);
    EXPECT_EQ(space_length(s, 0), want) << static_cast<uint32_t>(c);
  }
  EXPECT_EQ(space_length("\xE3\x80", 0), 0u);  // cut short
  EXPECT_THROW(skip_space("\u00a0x", 1), Fault);
}

// skip_space_quickly takes its own way over plain spaces and ASCII; wherever it
// stands, it ends where skip_space does.
TEST(Search, SkipSpaceQuicklyEndsWhereSkipSpaceDoes) {
  const std::string_view pieces[] = {" ",      "  ",     "\t",         "\n",     "x",
                                     "!",      "\x1f",   "\x7f",       "\u00a0", "\u3000",
                                     "\u00e0", "\u200b", "\U0001f600", "%}"};
  std::mt19937 rng(31);
  for (int round = 0; round < 5000; ++round) {
    std::string t;
    for (size_t i = rng() % 6; i > 0; --i) t += pieces[rng() % std::size(pieces)];
    for (size_t pos = 0; pos <= t.size(); ++pos) {
      if (!is_char_boundary(t, pos)) continue;
      ASSERT_EQ(skip_space_quickly(t, pos), skip_space(t, pos)) << t;
    }
  }
}

// UTF-8 ----------------------------------------------------------------------

// Measures the text, decodes it into every unit wide enough, and encodes it back.
template <class Unit>
void check_round_trip(const std::string& text, const std::u32string& cps) {
  std::vector<Unit> decoded(cps.size());
  ASSERT_TRUE(utf8::decode(text, std::span<Unit>(decoded)));
  EXPECT_EQ(decoded, std::vector<Unit>(cps.begin(), cps.end()));
  Buffer encoded;
  EXPECT_EQ(utf8::encode(std::span<const Unit>(decoded), encoded), std::nullopt);
  EXPECT_EQ(encoded.view(), text);
}

void check_text(const std::u32string& cps) {
  const std::string text = test::utf8_of(cps);
  const char32_t top = cps.empty() ? 0 : *std::max_element(cps.begin(), cps.end());
  const utf8::Measure m = utf8::measure(text);
  ASSERT_TRUE(m.valid);
  EXPECT_EQ(m.code_points, cps.size());
  EXPECT_EQ(m.width, top < 0x80      ? utf8::Width::Ascii
                     : top < 0x100   ? utf8::Width::Latin1
                     : top < 0x10000 ? utf8::Width::Ucs2
                                     : utf8::Width::Ucs4);
  if (top < 0x100) check_round_trip<uint8_t>(text, cps);
  if (top < 0x10000) check_round_trip<uint16_t>(text, cps);
  check_round_trip<uint32_t>(text, cps);
}

// One character of every width at every position of a block, twice in a row and
// at both ends. (Random texts and bytes get the same checks from the fuzzer.)
TEST(Utf8, EveryWidthAtEveryPositionOfABlock) {
  at_every_level([] {
    for (char32_t c : {0x80, 0xFF, 0x100, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF})
      for (size_t before = 0; before <= 66; ++before)
        for (size_t after : {0, 1, 15, 31, 33}) {
          SCOPED_TRACE(::testing::Message() << static_cast<uint32_t>(c) << " at " << before);
          const std::u32string cps = std::u32string(before, U'x') + c + std::u32string(after, U'y');
          check_text(cps);
          check_text(std::u32string(1, c) + cps + c + c);
        }
  });
}

TEST(Utf8, IllFormedSequencesAreRejectedWhereverTheyStand) {
  const std::string bad[] = {"\x80",
                             "\xC0\x80",
                             "\xC1\xBF",
                             "\xE0\x9F\xBF",
                             "\xF0\x8F\xBF\xBF",  // stray, overlong
                             "\xED\xA0\x80",
                             "\xED\xBF\xBF",
                             "\xF4\x90\x80\x80",
                             "\xF5\x80\x80\x80",
                             "\xFF",  // range
                             "\xC3",
                             "\xE2\x80",
                             "\xF0\x9F\x98",  // cut short
                             "\xC3\x41",
                             "\xE2\x41\x9C",
                             "\xE2\x80\x41",
                             "\xF0\x9F\x98\x41",  // ASCII inside
                             "\xC3\xA9\xA9"};     // one too many
  at_every_level([&] {
    for (const std::string& seq : bad)
      for (size_t before : {0, 1, 15, 16, 31, 32, 63, 64, 100})
        for (size_t after : {0, 2, 40}) {
          const std::string text = std::string(before, 'a') + seq + std::string(after, 'b');
          EXPECT_FALSE(utf8::measure(text).valid) << before;
          std::vector<uint32_t> out(text.size() + 8, 0xABCD);  // decoding fails inside its output
          EXPECT_FALSE(utf8::decode(text, std::span<uint32_t>(out.data(), text.size())));
          EXPECT_EQ(out[text.size()], 0xABCDu);
        }
    // A valid text decodes only into exactly its number of code points, and a
    // character too wide for the unit fails.
    const std::string text = std::string(100, 'a') + "\xC3\xA9" + std::string(100, 'b');
    for (size_t room : {0, 1, 100, 200, 201, 202, 260}) {
      std::vector<uint16_t> out(room + 40, 0xABCD);
      EXPECT_EQ(utf8::decode(text, std::span<uint16_t>(out.data(), room)), room == 201);
      EXPECT_EQ(out[room], 0xABCDu);
    }
    std::vector<uint8_t> narrow(3);
    std::vector<uint16_t> bmp(2);
    EXPECT_FALSE(utf8::decode("a\u0100b", std::span<uint8_t>(narrow)));
    EXPECT_FALSE(utf8::decode("\U0001F600b", std::span<uint16_t>(bmp)));
  });
}

// Paragraph-LF kernels ------------------------------------------------------

// Whole and broken tags, with and without an LF before them; in wider units,
// characters whose low byte (or low half) is one of the tag's, which shows a
// kernel that compares bytes instead of units; now and then something that
// post_render must do more for: a control character, an underscore between
// delimiters, a surrogate.
template <class Unit>
std::vector<Unit> break_text(std::mt19937& rng, size_t pieces) {
  static const std::string_view kAscii[] = {
      "<w:p>", "<w:p ", "<w:p/>", "\n<w:p>", "\n<w:p ", "<w:p", "<w:", "w:p", "x", "<", " ", ">"};
  static const std::string_view kRare[] = {"\n", "\t", "\a", "\f", "{_{", "%_}", "_", "{", "%"};
  static const uint32_t kLookalikes[] = {0x013C, 0x0170, 0x013E, 0x0120, 0x010A, 0x1003C};
  const size_t lookalikes = sizeof(Unit) == 2 ? 5 : 6;  // the last one is too wide for two bytes
  std::vector<Unit> text;
  auto append = [&](std::string_view s) { text.insert(text.end(), s.begin(), s.end()); };
  for (size_t i = 0; i < pieces; ++i) {
    const unsigned pick = rng() % 16;
    if (pick < std::size(kAscii))
      append(kAscii[pick]);
    else if (rng() % 24 == 0 && sizeof(Unit) > 1 && rng() % 4 == 0)
      text.push_back(static_cast<Unit>(0xD800 + rng() % 0x800));
    else if (rng() % 24 == 0)
      append(kRare[rng() % std::size(kRare)]);
    else if (sizeof(Unit) == 1)
      text.push_back(static_cast<Unit>(0xE9));
    else if (pick < 14)
      text.push_back(static_cast<Unit>(kLookalikes[rng() % lookalikes]));
    else
      text.push_back(static_cast<Unit>(0x201C));
  }
  return text;
}

template <class Unit>
bool tag_at(const std::vector<Unit>& t, size_t i) {
  return i + 5 <= t.size() && t[i] == '<' && t[i + 1] == 'w' && t[i + 2] == ':' &&
         t[i + 3] == 'p' && (t[i + 4] == '>' || t[i + 4] == ' ');
}

template <class Unit>
bool any_surrogate(const std::vector<Unit>& t, size_t from, size_t to) {
  for (size_t i = from; sizeof(Unit) > 1 && i < std::min(to, t.size()); ++i)
    if (t[i] >= 0xD800 && t[i] <= 0xDFFF) return true;
  return false;
}

// Inserting LFs before tags, and taking out those directly before tags, against
// the definitions. Outputs have exactly the room the steps promise to need: a
// store past it shows under the sanitizer.
template <class Unit>
void check_breaks(const std::vector<Unit>& text) {
  const std::span<const Unit> view(text);
  std::vector<Unit> inserted, removed;
  size_t first_tag = text.size(), first_lf = text.size();
  bool more = false, after_tag = false;  // control characters before the first tag stay
  for (size_t i = 0; i < text.size(); ++i) {
    const Unit u = text[i];
    const bool marked = u == '\n' && tag_at(text, i + 1);
    if (tag_at(text, i)) {
      first_tag = std::min(first_tag, i);
      inserted.push_back('\n');
      after_tag = true;
    }
    if (marked) first_lf = std::min(first_lf, i);
    inserted.push_back(u);
    if (!marked) removed.push_back(u);
    auto delimiter = [](Unit d) { return d == '{' || d == '}' || d == '%'; };
    more |= any_surrogate(text, i, i + 1) ||
            (after_tag && !marked && (u == '\n' || u == '\t' || u == '\a' || u == '\f')) ||
            (u == '_' && i > 0 && i + 1 < text.size() && delimiter(text[i - 1]) &&
             delimiter(text[i + 1]));
  }
  const BreakScan found = first_paragraph_start(view);
  ASSERT_EQ(found.first, first_tag);
  if (first_tag == text.size()) {
    EXPECT_EQ(found.more, any_surrogate(text, 0, first_tag));
  } else {
    EXPECT_TRUE(found.more || !any_surrogate(text, 0, first_tag + 1));  // it vouches up to the tag
    std::vector<Unit> out(inserted.size());
    const BreakScan done = insert_paragraph_breaks(view, first_tag, out.data());
    EXPECT_EQ(text.size() + done.count, inserted.size());
    EXPECT_EQ(out, inserted);
    EXPECT_EQ(done.more, any_surrogate(text, first_tag, text.size()));
  }
  const BreakScan start = first_rendered_break(view);
  if (start.more || start.first == text.size()) {
    // Up to the first tag, only what has no UTF-8 form or may become a delimiter counts.
    ASSERT_EQ(start.more, more);
    EXPECT_TRUE(more || removed.size() == text.size());
    return;
  }
  EXPECT_LE(start.first, first_lf);
  std::vector<Unit> out(text.size());
  const BreakScan done = remove_rendered_breaks(view, start.first, out.data());
  const BreakScan counted = remove_rendered_breaks<Unit>(view, start.first, nullptr);
  ASSERT_EQ(std::pair(done.more, counted.more), std::pair(more, more));
  if (more) return;
  EXPECT_EQ(std::pair(done.first, done.count), std::pair(first_lf, text.size() - removed.size()));
  EXPECT_EQ(std::pair(counted.first, counted.count), std::pair(done.first, done.count));
  out.resize(removed.size());
  EXPECT_EQ(out, removed);
}

template <class Unit>
void check_breaks_at_every_level() {
  at_every_level([] {
    std::mt19937 rng(7);
    for (size_t round = 0; round < 3000 && !::testing::Test::HasFatalFailure(); ++round)
      check_breaks(break_text<Unit>(rng, round % 60));
    // A tag at every offset of the vector blocks and of the ends.
    for (size_t pad = 0; pad < 80; ++pad) {
      std::vector<Unit> text(pad, static_cast<Unit>('.'));
      for (char c : std::string_view("<w:p>\n<w:p a><w:p")) text.push_back(static_cast<Unit>(c));
      check_breaks(text);
      text.resize(pad + 5);
      check_breaks(text);
    }
  });
}

TEST(ParagraphBreaks, MatchTheDefinitionInEveryWidthAndAtEveryLevel) {
  check_breaks_at_every_level<char>();
  check_breaks_at_every_level<uint16_t>();
  check_breaks_at_every_level<uint32_t>();
}

}  // namespace
}  // namespace tesserine
