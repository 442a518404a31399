#include <span>
#include <string_view>
#include <utility>

#include "render/paragraph_breaks.h"
#include "render/render.h"
#include "scan/buffer.h"

namespace tesserine {

PassResult pre_render(std::string_view text) {
  const std::span<const char> units(text.data(), text.size());
  // Nothing is allocated unless there is something to insert.
  const size_t first = first_paragraph_start(units).first;
  if (first == text.size()) return PassResult::unchanged();
  const size_t room = paragraph_breaks_bound(text.size());
  Buffer out(room);
  out.commit(text.size() + insert_paragraph_breaks(units, first, out.reserve_tail(room)).count);
  return PassResult::rewritten(std::move(out));
}

}  // namespace tesserine
