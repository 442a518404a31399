// run_patch_pipeline on arbitrary valid UTF-8. Every pass is wrapped so that each
// intermediate result is checked too; the wrapped and the plain pipeline must agree.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz_support.h"
#include "patch/pipeline.h"

namespace {

using tesserine::PassResult;
using tesserine::PATCH_PASSES;
using tesserine::PatchPass;

bool any_rewritten = false;

template <size_t Index>
PassResult checked_pass(std::string_view text) {
  const PatchPass& pass = PATCH_PASSES[Index];
  fuzz::Outcome outcome = fuzz::checked_call(pass.name, pass.run, text);
  fuzz::check_outcome(pass.name, outcome, pass.may_fall_back);
  if (outcome.result.is_rewritten()) any_rewritten = true;
  return std::move(outcome.result);
}

template <size_t... Index>
constexpr std::array<PatchPass, sizeof...(Index)> checked_table(std::index_sequence<Index...>) {
  return {{{"checked", checked_pass<Index>}...}};
}

const std::array<PatchPass, 18> CHECKED_PASSES = checked_table(std::make_index_sequence<18>());

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::repair_utf8(data, size);

  any_rewritten = false;
  fuzz::Outcome checked = fuzz::checked_call(
      "run_patch_pipeline (checked passes)",
      [](std::string_view t) { return tesserine::run_patch_pipeline(t, CHECKED_PASSES); }, text);
  fuzz::Outcome plain = fuzz::checked_call(
      "run_patch_pipeline", [](std::string_view t) { return tesserine::run_patch_pipeline(t); },
      text);

  // The pipeline hands back Fallback or an owned text, never Unchanged.
  FUZZ_CHECK(!plain.result.is_unchanged());
  fuzz::check_outcome("run_patch_pipeline", plain, true);
  FUZZ_CHECK(plain.result.kind() == checked.result.kind());
  FUZZ_CHECK(fuzz::current_text(plain, text) == fuzz::current_text(checked, text));
  // When no pass changed anything the result is a copy of the input.
  FUZZ_CHECK(any_rewritten || fuzz::current_text(plain, text) == text);
  return 0;
}
