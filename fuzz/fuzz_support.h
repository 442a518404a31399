// Shared checks of the fuzz targets: UTF-8 repair and validation, allocation
// counting through the sanitizer allocator's hooks, and a call wrapper that turns
// an internal fault into a crash the fuzzer records.
#pragma once

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pass_result.h"
#include "scan/utf8.h"

namespace fuzz {

// Strict UTF-8, as Python encodes a str: no overlong forms, no surrogates,
// nothing above U+10FFFF. Returns the length of the sequence at `at`, 0 if invalid.
inline size_t utf8_sequence(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                        : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                       : 0;
  if (length == 0 || text.size() - at < length) return 0;
  // The second byte's range narrows after the leads that begin overlong forms,
  // surrogates or code points past U+10FFFF.
  const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  return length;
}

inline bool valid_utf8(std::string_view text) {
  for (size_t at = 0, length; at < text.size(); at += length)
    if ((length = utf8_sequence(text, at)) == 0) return false;
  return true;
}

// Replaces every byte that starts no valid sequence by '?', so that mutations
// which break the encoding still reach the code under test.
inline std::string repair_utf8(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  std::string text;
  for (size_t at = 0; at < raw.size();) {
    const size_t length = utf8_sequence(raw, at);
    text.append(length == 0 ? std::string_view("?") : raw.substr(at, length));
    at += length == 0 ? 1 : length;
  }
  return text;
}

#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "check failed at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
      __builtin_trap();                                                                    \
    }                                                                                      \
  } while (0)

inline thread_local size_t allocations = 0;

extern "C" inline void count_allocation(const volatile void*, size_t) { ++allocations; }
extern "C" inline void ignore_release(const volatile void*) {}

// Installed once per process, before the first input runs.
inline const bool hooks_installed =
    __sanitizer_install_malloc_and_free_hooks(count_allocation, ignore_release) != 0;

struct Outcome {
  tesserine::PassResult result;
  size_t allocations;
};

// Runs one pass or step. A Fault (or any other exception) on valid UTF-8 is a
// finding, so it ends the run with a trap after naming itself.
template <typename Step>
Outcome checked_call(const char* name, Step step, std::string_view text) {
  FUZZ_CHECK(hooks_installed);
  const size_t before = allocations;
  try {
    tesserine::PassResult result = step(text);
    const size_t count = allocations - before;
    return {std::move(result), count};
  } catch (const std::exception& error) {  // a tesserine::Fault among them
    std::fprintf(stderr, "internal fault or exception in %s: %s\n", name, error.what());
  } catch (...) {
    std::fprintf(stderr, "unknown exception escaped %s\n", name);
  }
  __builtin_trap();
}

// The properties every pass and step keeps: Unchanged allocates nothing, a new
// text is valid UTF-8, Fallback carries a reason and only where allowed.
inline void check_outcome(const char* name, const Outcome& outcome, bool may_fall_back) {
  const tesserine::PassResult& result = outcome.result;
  if (result.is_fallback() && !may_fall_back)
    std::fprintf(stderr, "%s fell back: %s\n", name, result.reason());
  FUZZ_CHECK(!result.is_unchanged() || outcome.allocations == 0);
  FUZZ_CHECK(!result.is_rewritten() || valid_utf8(result.text().view()));
  FUZZ_CHECK(!result.is_fallback() || (may_fall_back && result.reason() != nullptr));
}

// The text a step leaves current: its new text, or its input when unchanged.
inline std::string_view current_text(const Outcome& outcome, std::string_view input) {
  return outcome.result.is_rewritten() ? outcome.result.text().view() : input;
}

inline bool holds_listing_control(std::string_view text) {
  return text.find_first_of(std::string_view("\a\t\n\f")) != std::string_view::npos;
}

// The code points of valid UTF-8.
inline std::vector<uint32_t> code_points(std::string_view text) {
  const tesserine::utf8::Measure m = tesserine::utf8::measure(text);
  std::vector<uint32_t> out(m.code_points);
  FUZZ_CHECK(m.valid && tesserine::utf8::decode(text, std::span<uint32_t>(out)));
  return out;
}

// Room for a step on code units of exactly the length it asks for, so that the
// sanitizer sees a write past it.
template <class Unit>
struct ExactRoom {
  std::unique_ptr<Unit[]> units;

  Unit* operator()(size_t length) {
    units.reset(new Unit[length]);
    return units.get();
  }
};

inline bool holds_split_delimiter(std::string_view text) {
  return std::ranges::any_of(std::initializer_list<std::string_view>{"{_{", "}_}", "{_%", "%_}"},
                             [&](std::string_view s) { return text.find(s) != text.npos; });
}

}  // namespace fuzz
