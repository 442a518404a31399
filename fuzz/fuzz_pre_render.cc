// pre_render against a direct model (an LF before every paragraph start tag),
// on UTF-8 and by the code-unit route on the text's code points, and the round
// trip through post_render.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "render/code_units.h"
#include "render/render.h"

namespace {

std::string with_paragraph_breaks(std::string_view text) {
  std::string out;
  for (size_t at = 0; at < text.size(); ++at) {
    // A paragraph start tag: "<w:p" followed by ">" or a space.
    if (text.compare(at, 4, "<w:p") == 0 && at + 4 < text.size() &&
        (text[at + 4] == '>' || text[at + 4] == ' '))
      out.push_back('\n');
    out.push_back(text[at]);
  }
  return out;
}

// Valid UTF-8 has no surrogate, so the route always takes the step; it writes
// within the room it asked for.
void check_code_units(std::string_view text, std::string_view expected) {
  const std::vector<uint32_t> points = fuzz::code_points(text);
  const std::vector<uint32_t> want = fuzz::code_points(expected);
  fuzz::ExactRoom<uint32_t> room;
  using Kind = tesserine::UnitsResult::Kind;
  const tesserine::UnitsResult got =
      tesserine::pre_render_units<uint32_t>(std::span<const uint32_t>(points), room);
  FUZZ_CHECK(got.kind == (want.size() != points.size() ? Kind::Rewritten : Kind::Unchanged));
  if (got.kind == Kind::Rewritten)
    FUZZ_CHECK(
        std::equal(room.units.get(), room.units.get() + got.length, want.begin(), want.end()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::repair_utf8(data, size);

  fuzz::Outcome pre = fuzz::checked_call("pre_render", tesserine::pre_render, text);
  fuzz::check_outcome("pre_render", pre, false);
  const std::string expected = with_paragraph_breaks(text);
  FUZZ_CHECK(pre.result.is_rewritten() == (expected.size() != text.size()));
  FUZZ_CHECK(fuzz::current_text(pre, text) == expected);
  check_code_units(text, expected);

  if (!fuzz::holds_split_delimiter(text) && !fuzz::holds_listing_control(text)) {
    const std::string_view prepared = fuzz::current_text(pre, text);
    fuzz::Outcome post = fuzz::checked_call("post_render", tesserine::post_render, prepared);
    fuzz::check_outcome("post_render", post, false);
    FUZZ_CHECK(post.result.is_rewritten() == pre.result.is_rewritten());
    FUZZ_CHECK(fuzz::current_text(post, prepared) == text);
  }
  return 0;
}
