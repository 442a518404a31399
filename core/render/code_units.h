// pre_render, and post_render while all it does is take out the LFs before
// paragraph start tags (as for most rendered parts), on text in the one-, two-
// or four-byte code units that an interpreter keeps its strings in: the same
// text as the UTF-8 route gives, without converting to UTF-8 and back. Where
// the units will not do (post_render has more to change, or the text holds a
// surrogate and so has no UTF-8 form), the answer says so and nothing is kept.
//
// The result is written into room that the caller allocates, at the largest
// size it can have, and the caller cuts it to the length given. Counting first,
// for room of the final size, reads the whole text once more, which costs more
// than the copy itself. post_render counts first all the same when its first
// paragraph has no LF before it: the text did not come from pre_render, and most
// likely has no LF to take out at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "function_ref.h"

namespace tesserine {

struct UnitsResult {
  enum class Kind {
    Unchanged,
    Rewritten,  // into the room allocated, `length` units of it
    NeedsUtf8,  // the step must run on the text's UTF-8 form
    NoRoom,     // the allocation gave none
  };
  Kind kind;
  size_t length = 0;
};

// Room for `units` code units, or nullptr when there is none. Called at most
// once; whatever the answer, the room is the caller's to keep or free.
template <class Unit>
using AllocateUnits = FunctionRef<Unit*(size_t units)>;

template <class Unit>
UnitsResult pre_render_units(std::span<const Unit> text, AllocateUnits<Unit> allocate) noexcept;
template <class Unit>
UnitsResult post_render_units(std::span<const Unit> text, AllocateUnits<Unit> allocate) noexcept;

}  // namespace tesserine
