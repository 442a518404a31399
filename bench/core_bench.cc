// The text core alone, without the interpreter: median time of pre_render,
// post_render and the patch pipeline on each part file given, as a ratio to a
// memcpy of the same bytes measured in the same run, then each pass on the text
// it receives inside the pipeline.
//
//   core_bench [--repeat N] PART.xml...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "patch/pipeline.h"
#include "read_part.h"
#include "render/render.h"

namespace {

using tesserine::PassResult;

template <typename Fn>
double median_ms(int repeat, Fn fn) {
  std::vector<double> times;
  for (int i = 0; i < repeat; ++i) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    const auto stop = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void bench_part(const char* path, int repeat) {
  const std::string text = read_part(path);
  std::string copy(text.size(), '\0');
  const double base = median_ms(2 * repeat + 1, [&] {
    std::memcpy(copy.data(), text.data(), text.size());
    asm volatile("" : : "r"(copy.data()) : "memory");
  });
  std::printf("%s (%.1f MB): memcpy %.3f ms\n", path, text.size() / 1e6, base);
  const struct {
    const char* name;
    PassResult (*run)(std::string_view);
  } steps[] = {
      {"pre_render", tesserine::pre_render},
      {"post_render", tesserine::post_render},
      {"patch_xml", [](std::string_view t) { return tesserine::run_patch_pipeline(t); }},
  };
  for (const auto& step : steps) {
    const double t = median_ms(repeat, [&] { PassResult r = step.run(text); });
    std::printf("  %-28s %8.3f ms %7.1fx\n", step.name, t, t / base);
  }
  std::string current = text;
  for (const tesserine::PatchPass& pass : tesserine::PATCH_PASSES) {
    const double t = median_ms(repeat, [&] { PassResult r = pass.run(current); });
    PassResult result = pass.run(current);
    std::printf("    %-26s %8.3f ms %7.1fx%s\n", pass.name, t, t / base,
                result.is_rewritten() ? "  rewrites" : "");
    if (result.is_rewritten()) current.assign(result.text().view());
    if (result.is_fallback()) break;
  }
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 9;
  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "--repeat") == 0) {
    repeat = std::max(1, std::atoi(argv[2]));
    first = 3;
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: core_bench [--repeat N] PART.xml...\n");
    return 2;
  }
  for (int i = first; i < argc; ++i) bench_part(argv[i], repeat);
}
