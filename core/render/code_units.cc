#include "render/code_units.h"

#include "render/paragraph_breaks.h"

namespace tesserine {
namespace {

using Kind = UnitsResult::Kind;

// The result of a copy into the room allocated.
UnitsResult written(const BreakScan& found, size_t length) {
  if (found.more) return {Kind::NeedsUtf8};
  if (found.count == 0) return {Kind::Unchanged};
  return {Kind::Rewritten, length};
}

}  // namespace

template <class Unit>
UnitsResult pre_render_units(std::span<const Unit> text, AllocateUnits<Unit> allocate) noexcept {
  const BreakScan found = first_paragraph_start(text);
  if (found.more) return {Kind::NeedsUtf8};
  if (found.first == text.size()) return {Kind::Unchanged};
  Unit* out = allocate(paragraph_breaks_bound(text.size()));
  if (out == nullptr) return {Kind::NoRoom};
  const BreakScan done = insert_paragraph_breaks(text, found.first, out);
  return written(done, text.size() + done.count);
}

template <class Unit>
UnitsResult post_render_units(std::span<const Unit> text, AllocateUnits<Unit> allocate) noexcept {
  const BreakScan found = first_rendered_break(text);
  if (found.more) return {Kind::NeedsUtf8};
  if (found.first == text.size()) return {Kind::Unchanged};
  size_t from = found.first, room = text.size();
  if (text[from] != '\n') {
    const BreakScan counted = remove_rendered_breaks<Unit>(text, from, nullptr);
    if (counted.more) return {Kind::NeedsUtf8};
    if (counted.count == 0) return {Kind::Unchanged};
    room -= counted.count;
    // Nothing before the first LF taken out needs looking at again.
    from = counted.first;
  }
  Unit* out = allocate(room);
  if (out == nullptr) return {Kind::NoRoom};
  const BreakScan done = remove_rendered_breaks(text, from, out);
  return written(done, text.size() - done.count);
}

#define TESSERINE_CODE_UNITS(Unit)                                           \
  template UnitsResult pre_render_units<Unit>(std::span<const Unit>,         \
                                              AllocateUnits<Unit>) noexcept; \
  template UnitsResult post_render_units<Unit>(std::span<const Unit>, AllocateUnits<Unit>) noexcept;
TESSERINE_CODE_UNITS(uint8_t)
TESSERINE_CODE_UNITS(uint16_t)
TESSERINE_CODE_UNITS(uint32_t)
#undef TESSERINE_CODE_UNITS

}  // namespace tesserine
