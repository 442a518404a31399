// post_render and its steps on rendered text. Without listing controls the
// result must be exactly the four delimiter replacements applied in order. When
// the scan of the module's short route finds nothing but paragraph LFs to take
// out, taking them out must give post_render's result, on UTF-8 bytes and on
// the text's code points alike.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "render/paragraph_breaks.h"
#include "render/render.h"
#include "scan/utf8.h"

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

template <class Unit>
void check_short_route(std::span<const Unit> units, std::span<const Unit> expected,
                       bool rewritten) {
  const tesserine::BreakScan start = tesserine::first_rendered_break(units);
  FUZZ_CHECK(start.more || start.first < units.size() || !rewritten);
  if (start.more || start.first == units.size()) return;
  std::vector<Unit> out(units.size());
  const tesserine::BreakScan found = tesserine::remove_rendered_breaks(units, start.first, out.data());
  if (found.more) return;
  FUZZ_CHECK((found.count != 0) == rewritten);
  if (found.count == 0) return;
  out.resize(units.size() - found.count);
  FUZZ_CHECK(std::equal(out.begin(), out.end(), expected.begin(), expected.end()));
}

std::vector<uint32_t> code_points(std::string_view text) {
  const tesserine::utf8::Measure m = tesserine::utf8::measure(text);
  std::vector<uint32_t> out(m.code_points);
  FUZZ_CHECK(m.valid && tesserine::utf8::decode(text, std::span<uint32_t>(out)));
  return out;
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

  check_short_route(std::span<const char>(text), std::span<const char>(result),
                    post.result.is_rewritten());
  const std::vector<uint32_t> points = code_points(text), expected = code_points(result);
  check_short_route(std::span<const uint32_t>(points), std::span<const uint32_t>(expected),
                    post.result.is_rewritten());

  fuzz::Outcome listing = fuzz::checked_call("resolve_listing", tesserine::resolve_listing, text);
  fuzz::check_outcome("resolve_listing", listing, false);
  fuzz::Outcome stripped =
      fuzz::checked_call("strip_paragraph_breaks", tesserine::strip_paragraph_breaks, text);
  fuzz::check_outcome("strip_paragraph_breaks", stripped, false);
  if (!fuzz::holds_listing_control(text)) FUZZ_CHECK(listing.result.is_unchanged());
  return 0;
}
