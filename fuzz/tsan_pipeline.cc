// Several threads run the patch pipeline and both render steps at once on the
// same borrowed texts; every result must equal the one computed alone first.
// Built with ThreadSanitizer, which reports any data race between the calls.
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

std::vector<std::string> texts() {
  const std::string run = "<w:r><w:rPr><w:b/></w:rPr><w:t>Hello world</w:t></w:r>";
  std::string rows;
  for (int i = 0; i < 20; ++i) {
    rows += "<w:tr><w:tc><w:tcPr/><w:p><w:r><w:t>{% vm %}</w:t></w:r></w:p></w:tc>"
            "<w:tc><w:p><w:r><w:t>{{ item.</w:t></w:r><w:r><w:t>price }}</w:t></w:r></w:p></w:tc></w:tr>";
  }
  std::string body = "<w:body>";
  for (int i = 0; i < 40; ++i) {
    body += "<w:p w:rsidR=\"00A1\"><w:pPr><w:jc w:val=\"left\"/></w:pPr>" + run +
            "<w:r><w:t>{</w:t></w:r><w:r><w:t>{ name }</w:t></w:r><w:r><w:t>}</w:t></w:r></w:p>";
  }
  body += "<w:tbl><w:tr><w:tc><w:p><w:r><w:t>{%tr for item in items %}</w:t></w:r></w:p></w:tc></w:tr>" +
          rows + "</w:tbl>";
  body += "<w:p><w:r><w:t>{%- if x -%}</w:t></w:r></w:p><w:p><w:r><w:t>a\tb\nc\ad\fe {_{ v }_}</w:t></w:r></w:p>";
  body += "<w:tbl><w:tr><w:tc><w:tcPr/><w:p><w:r><w:t>{% colspan n %}{% cellbg c %}{% hm %}</w:t></w:r></w:p></w:tc></w:tr></w:tbl>";
  return {body + "</w:body>", "", "<w:p>\n<w:p> {_% if %_}\a</w:p>", "<w:tc><w:t>{% colspan a\\b %}</w:t></w:tc>"};
}

}  // namespace

int main() {
  const std::vector<std::string> inputs = texts();
  std::vector<std::string> expected;
  for (const std::string& text : inputs) {
    for (Step step : STEPS) expected.push_back(summary(step(text)));
  }

  constexpr int THREADS = 8;
  constexpr int ROUNDS = 200;
  std::vector<int> mismatches(THREADS, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < ROUNDS; ++round) {
        for (size_t i = 0; i < inputs.size(); ++i) {
          // Each thread starts at a different step, so different steps overlap.
          for (size_t s = 0; s < 3; ++s) {
            const size_t step = (s + static_cast<size_t>(t)) % 3;
            if (summary(STEPS[step](inputs[i])) != expected[i * 3 + step]) ++mismatches[t];
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  int total = 0;
  for (int count : mismatches) total += count;
  std::printf("%d threads x %d rounds x %zu texts x 3 steps: %d mismatches\n", THREADS, ROUNDS,
              inputs.size(), total);
  return total == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
