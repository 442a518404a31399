// replace_enclosing_elements on its own, with a toy tag ("@" and a byte) and
// element ("<c" then a space or ">", closed by "</c>"): random texts against a
// model of the engine's definition that searches the plainest way, with a
// finder that searches by itself and with one that copies.
#include "patch/engine.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "test_util.h"

namespace tesserine {
namespace {

using test::at_every_level;

constexpr StartTagPattern ELEMENT{"<c", false};

// "@" and an ASCII byte.
bool tag_at(std::string_view text, size_t k) {
  return k + 1 < text.size() && text[k] == '@' && static_cast<unsigned char>(text[k + 1]) < 0x80;
}

std::optional<TagSpan> tag_at_or_after(std::string_view text, size_t from) {
  for (size_t k = from; k < text.size(); ++k)
    if (tag_at(text, k)) return TagSpan{k, k + 2, k + 1, k + 2};
  return std::nullopt;
}

// Writes the element's tag as "[x]", or aborts on "@!".
EmitResult emit(std::string_view text, Buffer& out, const TagSpan& tag) {
  if (text[tag.body_start] == '!') return EmitResult::abort("bang");
  out.append("[");
  out.append(text.substr(tag.body_start, tag.body_end - tag.body_start));
  out.append("]");
  return EmitResult::ok();
}

std::optional<std::string> run(std::string_view text, std::string_view closing, bool copying) {
  auto emitter = [&](Buffer& out, size_t, const TagSpan& tag, size_t) {
    return emit(text, out, tag);
  };
  PassResult result = PassResult::unchanged();
  if (copying) {
    auto finder = [](CopyingSearch& search, size_t from, size_t to) -> std::optional<TagSpan> {
      for (size_t i = from; const Offset k = search.find_byte('@', i, to);) {
        if (tag_at(search.source(), *k)) return TagSpan{*k, *k + 2, *k + 1, *k + 2};
        i = *k + 1;
      }
      return std::nullopt;
    };
    result = replace_enclosing_elements_copying(text, ELEMENT, finder, closing, emitter);
  } else {
    auto finder = [&](size_t from) { return tag_at_or_after(text, from); };
    result = replace_enclosing_elements(text, ELEMENT, finder, closing, emitter);
  }
  if (result.is_fallback()) return "fallback";
  return test::outcome(result);
}

bool start_tag_at(std::string_view t, size_t i) {
  return t.substr(i, 2) == "<c" && i + 2 < t.size() && (t[i + 2] == ' ' || t[i + 2] == '>');
}

// The definition, searched the plainest way: from the scan position, the first
// tag; its element starts at the last start tag before it (not before the scan
// position); the group is the tags before the next start tag, and the last of
// them with a closing text after it (or the last, with no closing text) chooses
// where the region ends.
std::optional<std::string> model(std::string_view t, std::string_view closing) {
  std::string out;
  size_t copied = 0, pos = 0;
  bool changed = false;
  while (std::optional<TagSpan> first = tag_at_or_after(t, pos)) {
    std::optional<size_t> element;
    for (size_t i = pos; i + 2 <= first->start; ++i)
      if (start_tag_at(t, i)) element = i;
    if (!element) {
      pos = first->start + 1;
      continue;
    }
    size_t bound = first->start + 1;
    while (bound < t.size() && !start_tag_at(t, bound)) ++bound;
    std::optional<TagSpan> chosen;
    for (std::optional<TagSpan> m = first; m && m->start < bound;
         m = tag_at_or_after(t, m->start + 1))
      if (closing.empty() || t.find(closing, m->end) != t.npos) chosen = m;
    if (!chosen) {
      pos = bound;
      continue;
    }
    const size_t end =
        closing.empty() ? chosen->end : t.find(closing, chosen->end) + closing.size();
    if (t[chosen->body_start] == '!') return "fallback";
    out.append(t, copied, *element - copied).append("[").append(1, t[chosen->body_start]);
    out.append("]");
    copied = pos = end;
    changed = true;
  }
  if (!changed) return std::nullopt;
  return out.append(t, copied);
}

TEST(Engine, RandomTextsMatchTheDefinition) {
  const std::string_view pieces[] = {"<c>",  "<c ", "<cx>",     "<c",
                                     "</c>", "@1",  "@2",       "@",
                                     "@!",   "x",   "\xC3\xA9", "...................."};
  at_every_level([&] {
    std::mt19937 rng(41);
    for (int round = 0; round < 3000 && !::testing::Test::HasFatalFailure(); ++round) {
      std::string t;
      for (size_t i = rng() % 16; i > 0; --i) t += pieces[rng() % std::size(pieces)];
      for (std::string_view closing : {std::string_view("</c>"), std::string_view()})
        for (bool copying : {false, true})
          ASSERT_EQ(run(t, closing, copying), model(t, closing))
              << t << " closing " << closing << (copying ? " copying" : "");
    }
  });
}

}  // namespace
}  // namespace tesserine
