// The memory traffic of patch_xml + post_render on a 2 MB two-byte part, with
// none of the work: per call, a cold 4 MB argument narrowed into a 2 MB block,
// thirteen copies alternating between two 2 MB blocks, a 4 MB result widened
// from the last, then a 4 MB argument copied into a 4 MB result. Prints the
// throughput in one thread and in two, rounds alternating, and the median
// ratio: how far two threads can scale on this machine's memory alone.
//
//   g++ -O2 -march=native -std=c++20 -pthread bench/copy_only_threads.cc -o /tmp/copy_only_threads
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr size_t kPart = 2'000'000;
constexpr size_t kCalls = 25;
constexpr int kPasses = 13;

struct Worker {
  std::vector<std::vector<char>> args;
  std::vector<char> a, b, result;

  Worker()
      : args(2 * kCalls, std::vector<char>(2 * kPart, 'x')),
        a(kPart),
        b(kPart),
        result(2 * kPart) {}

  void run() {
    for (size_t call = 0; call < kCalls; ++call) {
      const char* units = args[2 * call].data();
      for (size_t i = 0; i < kPart; ++i) a[i] = units[2 * i];
      for (int pass = 0; pass < kPasses; ++pass) {
        std::memcpy(b.data(), a.data(), kPart);
        std::swap(a, b);
      }
      for (size_t i = 0; i < kPart; ++i) {
        result[2 * i] = a[i];
        result[2 * i + 1] = 0;
      }
      std::memcpy(result.data(), args[2 * call + 1].data(), 2 * kPart);
    }
  }
};

double calls_per_second(std::vector<Worker>& workers, int threads) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t) running.emplace_back([&workers, t] { workers[t].run(); });
  for (std::thread& thread : running) thread.join();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return threads * kCalls / elapsed.count();
}

}  // namespace

int main() {
  std::vector<Worker> workers(2);
  calls_per_second(workers, 2);
  std::vector<double> ratios;
  for (int round = 0; round < 15; ++round) {
    const double one = calls_per_second(workers, 1);
    const double two = calls_per_second(workers, 2);
    ratios.push_back(two / one);
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("two threads: %.2fx one (median of 15 rounds)\n", ratios[ratios.size() / 2]);
}
