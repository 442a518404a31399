// Whether blocks outlive the thread that used them: patch_xml and post_render
// on one part, each call pair on a thread started for it (as a server that
// starts a thread per request does), against the same calls on one lasting
// thread. Prints calls per second and minor page faults per call pair for both,
// rounds alternating; the median of the rounds.
//
//   thread_per_call [--rounds N] [--calls N] PART.xml
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "patch/pipeline.h"
#include "read_part.h"
#include "render/render.h"

namespace {

using tesserine::PassResult;

long minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// A call pair, checked: the pipeline rewrites a template part, and post_render
// takes out what pre_render put in.
void call_pair(const std::string& part, const std::string& prepared) {
  PassResult patched = tesserine::run_patch_pipeline(part);
  PassResult rendered = tesserine::post_render(prepared);
  if (!patched.is_rewritten() || !rendered.is_rewritten() || rendered.text().view() != part) {
    std::fprintf(stderr, "wrong result\n");
    std::exit(1);
  }
}

struct Round {
  double calls_per_second;
  double faults_per_call;
};

template <class Run>
Round measure(int calls, Run run) {
  const long faults = minor_faults();
  const auto start = std::chrono::steady_clock::now();
  run();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return {calls / elapsed.count(), static_cast<double>(minor_faults() - faults) / calls};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 9, calls = 20, first = 1;
  while (first + 1 < argc && argv[first][0] == '-') {
    if (std::strcmp(argv[first], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[first + 1]));
    if (std::strcmp(argv[first], "--calls") == 0) calls = std::max(1, std::atoi(argv[first + 1]));
    first += 2;
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: thread_per_call [--rounds N] [--calls N] PART.xml\n");
    return 2;
  }
  const std::string part = read_part(argv[first]);
  const PassResult prepared_result = tesserine::pre_render(part);
  const std::string prepared(prepared_result.is_rewritten() ? prepared_result.text().view()
                                                            : std::string_view(part));
  std::vector<double> lasting_rate, lasting_faults, fresh_rate, fresh_faults;
  std::thread([&] { call_pair(part, prepared); }).join();  // warm-up
  for (int round = 0; round < rounds; ++round) {
    const Round lasting = measure(calls, [&] {
      std::thread([&] {
        for (int i = 0; i < calls; ++i) call_pair(part, prepared);
      }).join();
    });
    const Round fresh = measure(calls, [&] {
      for (int i = 0; i < calls; ++i) std::thread([&] { call_pair(part, prepared); }).join();
    });
    lasting_rate.push_back(lasting.calls_per_second);
    lasting_faults.push_back(lasting.faults_per_call);
    fresh_rate.push_back(fresh.calls_per_second);
    fresh_faults.push_back(fresh.faults_per_call);
  }
  std::printf("%s (%.1f MB), median of %d rounds of %d call pairs:\n", argv[first],
              part.size() / 1e6, rounds, calls);
  std::printf("  one lasting thread:    %8.1f pairs/s %8.0f faults/pair\n", median(lasting_rate),
              median(lasting_faults));
  std::printf("  a thread per pair:     %8.1f pairs/s %8.0f faults/pair\n", median(fresh_rate),
              median(fresh_faults));
}
