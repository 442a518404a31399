// Several threads run the patch pipeline and both render steps at once on the
// same borrowed texts; every result must equal the one computed alone first.
// Built with ThreadSanitizer, which reports any data race between the calls.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "patch/pipeline.h"
#include "render/render.h"

namespace {

using tesserine::PassResult;
using Step = PassResult (*)(std::string_view);

PassResult pipeline(std::string_view text) { return tesserine::run_patch_pipeline(text); }

constexpr Step STEPS[] = {pipeline, tesserine::pre_render, tesserine::post_render};

// A result reduced to something comparable: "U", "F" or "R" plus the text.
std::string summary(const PassResult& result) {
  if (result.is_unchanged()) return "U";
  if (result.is_fallback()) return "F";
  return "R" + std::string(result.text().view());
}

// A table of merged cells, split delimiters and scoped tags, trim markers, and
// rendered control characters: every pass and step has work.
std::vector<std::string> texts() {
  const auto cell = [](const std::string& text) {
    return "<w:tc><w:tcPr></w:tcPr><w:p><w:r><w:t>" + text + "</w:t></w:r></w:p></w:tc>";
  };
  std::string body = "<w:body><w:tbl><w:tr>" + cell("{%tr for item in items %}") + "</w:tr>";
  for (int i = 0; i < 40; ++i)
    body += "<w:tr>" + cell("{% vm %}") + cell("{</w:t></w:r><w:r><w:t>{ item.price }}") +
            cell("{% hm %}") + cell("{% colspan n %}") + cell("{% cellbg c %}") + "</w:tr>";
  body +=
      "</w:tbl><w:p><w:r><w:t>{%- if x -%}</w:t></w:r></w:p><w:p><w:r><w:t>a\tb\nc\ad\fe {_{ v }_}"
      "</w:t></w:r></w:p></w:body>";
  return {body, "", "<w:p>\n<w:p> {_% if %_}\a</w:p>", cell("{% colspan a\\b %}")};
}

}  // namespace

int main() {
  const std::vector<std::string> inputs = texts();
  std::vector<std::string> expected;
  for (const std::string& text : inputs)
    for (Step step : STEPS) expected.push_back(summary(step(text)));

  constexpr int THREADS = 8, ROUNDS = 200;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < THREADS; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < ROUNDS; ++round)
        for (size_t i = 0; i < inputs.size(); ++i)
          // Each thread starts at a different step, so different steps overlap.
          for (size_t s = t; s < t + 3; ++s)
            if (summary(STEPS[s % 3](inputs[i])) != expected[i * 3 + s % 3]) ++mismatches;
    });
  for (std::thread& thread : threads) thread.join();
  std::printf("%d threads x %d rounds x %zu texts x 3 steps: %d mismatches\n", THREADS, ROUNDS,
              inputs.size(), mismatches.load());
  return mismatches == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
