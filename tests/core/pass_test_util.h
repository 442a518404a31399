// Helpers shared by the pass tests.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "patch/pipeline.h"

namespace tesserine {

// The pass's new text, or none for Unchanged; a Fallback fails the test.
inline std::optional<std::string> rewrite(PassFunction pass, std::string_view text) {
  PassResult r = pass(text);
  EXPECT_FALSE(r.is_fallback()) << text;
  if (r.is_unchanged()) return std::nullopt;
  return std::string(r.text().view());
}

// One row of a table-driven pass test.
struct Case {
  std::string input;
  std::optional<std::string> output;  // none: Unchanged
};

}  // namespace tesserine
