// The patch pipeline: PATCH_PASSES run in table order, each on the text the
// passes before it left.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "pass_result.h"

namespace tesserine {

using PassFunction = PassResult (*)(std::string_view text);

struct PatchPass {
  const char* name;
  PassFunction run;
  // A literal that every tag the pass acts on contains: the pass leaves every
  // text without it unchanged, so the pipeline need not run it there. Empty: the
  // pass always runs.
  std::string_view needs = {};
  // Whether the pass may meet input it leaves to the host's implementation.
  bool may_fall_back = false;
};

extern const std::array<PatchPass, 18> PATCH_PASSES;

// Runs `passes` over `src` (borrowed). Returns Fallback as soon as a pass falls
// back, otherwise Rewritten with the final text, which is always owned: a copy
// of `src` when no pass changed it. At most two intermediate texts live at once.
// A pass is skipped while the current text lacks what it `needs`.
PassResult run_patch_pipeline(std::string_view src, std::span<const PatchPass> passes);
PassResult run_patch_pipeline(std::string_view src);

}  // namespace tesserine
