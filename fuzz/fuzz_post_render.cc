// post_render and its steps on rendered text. Without listing controls the
// result must be exactly the four delimiter replacements applied in order. When
// the scan of the module's short route finds nothing but paragraph LFs to take
// out, taking them out must give post_render's result, on UTF-8 bytes and on
// the text's code points alike.
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

// The four delimiter replacements, in order, each over what the one before left.
std::string restored_delimiters(std::string_view text) {
  std::string out(text);
  for (const char* sequence : {"{_{", "}_}", "{_%", "%_}"}) {
    std::string next;
    size_t at = 0;
    for (size_t hit; (hit = out.find(sequence, at)) != std::string::npos; at = hit + 3)
      next.append(out, at, hit - at).append({sequence[0], sequence[2]});
    out = next.append(out, at);
  }
  return out;
}

// The code-unit route: unless it leaves the step to the UTF-8 route, it gives
// post_render's text, written within the room it asked for.
template <class Unit>
void check_code_units(std::span<const Unit> units, std::span<const Unit> expected, bool rewritten) {
  fuzz::ExactRoom<Unit> room;
  using Kind = tesserine::UnitsResult::Kind;
  const tesserine::UnitsResult got = tesserine::post_render_units<Unit>(units, room);
  FUZZ_CHECK(got.kind != Kind::NoRoom);
  if (got.kind == Kind::NeedsUtf8) return;
  FUZZ_CHECK((got.kind == Kind::Rewritten) == rewritten);
  if (rewritten)
    FUZZ_CHECK(std::equal(room.units.get(), room.units.get() + got.length, expected.begin(),
                          expected.end()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::repair_utf8(data, size);

  fuzz::Outcome post = fuzz::checked_call("post_render", tesserine::post_render, text);
  fuzz::check_outcome("post_render", post, false);
  const std::string_view result = fuzz::current_text(post, text);

  if (!fuzz::holds_listing_control(text)) {
    FUZZ_CHECK(post.result.is_rewritten() == fuzz::holds_split_delimiter(text));
    FUZZ_CHECK(result == restored_delimiters(text));
  }

  check_code_units(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                   std::span(reinterpret_cast<const uint8_t*>(result.data()), result.size()),
                   post.result.is_rewritten());
  const std::vector<uint32_t> points = fuzz::code_points(text);
  const std::vector<uint32_t> expected = fuzz::code_points(result);
  check_code_units(std::span<const uint32_t>(points), std::span<const uint32_t>(expected),
                   post.result.is_rewritten());

  fuzz::Outcome listing = fuzz::checked_call("resolve_listing", tesserine::resolve_listing, text);
  fuzz::check_outcome("resolve_listing", listing, false);
  fuzz::Outcome stripped =
      fuzz::checked_call("strip_paragraph_breaks", tesserine::strip_paragraph_breaks, text);
  fuzz::check_outcome("strip_paragraph_breaks", stripped, false);
  if (!fuzz::holds_listing_control(text)) FUZZ_CHECK(listing.result.is_unchanged());
  return 0;
}
