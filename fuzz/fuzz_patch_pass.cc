// One pass of PATCH_PASSES on its own, chosen by the first input byte; the rest
// of the input is the text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "patch/pipeline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t index = data[0] % tesserine::PATCH_PASSES.size();
  const tesserine::PatchPass& pass = tesserine::PATCH_PASSES[index];
  const std::string text = fuzz::repair_utf8(data + 1, size - 1);

  fuzz::Outcome outcome = fuzz::checked_call(pass.name, pass.run, text);
  fuzz::check_outcome(pass.name, outcome, pass.may_fall_back);

  // A pure function: the same text gives the same result.
  fuzz::Outcome again = fuzz::checked_call(pass.name, pass.run, text);
  FUZZ_CHECK(again.result.kind() == outcome.result.kind());
  FUZZ_CHECK(fuzz::current_text(again, text) == fuzz::current_text(outcome, text));
  return 0;
}
