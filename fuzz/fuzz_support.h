// Shared checks of the fuzz targets: UTF-8 repair and validation, allocation
// counting through the sanitizer allocator's hooks, and a call wrapper that turns
// an internal fault into a crash the fuzzer records.
#pragma once

#include <sanitizer/allocator_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "fault.h"
#include "pass_result.h"

namespace fuzz {

// Strict UTF-8, as Python encodes a str: no overlong forms, no surrogates,
// nothing above U+10FFFF. Returns the length of the sequence at `at`, 0 if invalid.
inline size_t utf8_sequence(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

inline bool valid_utf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const size_t length = utf8_sequence(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

// Replaces every byte that starts no valid sequence by '?', so that mutations
// which break the encoding still reach the code under test.
inline std::string repair_utf8(const uint8_t* data, size_t size) {
  std::string_view raw(reinterpret_cast<const char*>(data), size);
  std::string text;
  text.reserve(size);
  for (size_t at = 0; at < raw.size();) {
    const size_t length = utf8_sequence(raw, at);
    if (length == 0) {
      text.push_back('?');
      ++at;
    } else {
      text.append(raw.substr(at, length));
      at += length;
    }
  }
  return text;
}

#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "check failed at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
      __builtin_trap();                                                                \
    }                                                                                  \
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
  } catch (const tesserine::Fault& fault) {
    std::fprintf(stderr, "internal fault in %s: %s\n", name, fault.what());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "exception escaped %s: %s\n", name, error.what());
  } catch (...) {
    std::fprintf(stderr, "unknown exception escaped %s\n", name);
  }
  __builtin_trap();
}

// The properties every pass and step keeps: Unchanged allocates nothing, a new
// text is valid UTF-8, Fallback carries a reason and only where allowed.
inline void check_outcome(const char* name, const Outcome& outcome, bool may_fall_back) {
  const tesserine::PassResult& result = outcome.result;
  if (result.is_unchanged() && outcome.allocations != 0) {
    std::fprintf(stderr, "%s returned Unchanged after %zu allocations\n", name,
                 outcome.allocations);
    __builtin_trap();
  }
  if (result.is_rewritten() && !valid_utf8(result.text().view())) {
    std::fprintf(stderr, "%s wrote invalid UTF-8\n", name);
    __builtin_trap();
  }
  if (result.is_fallback()) {
    if (!may_fall_back) std::fprintf(stderr, "%s fell back: %s\n", name, result.reason());
    FUZZ_CHECK(may_fall_back);
    FUZZ_CHECK(result.reason() != nullptr);
  }
}

// The text a step leaves current: its new text, or its input when unchanged.
inline std::string_view current_text(const Outcome& outcome, std::string_view input) {
  return outcome.result.is_rewritten() ? outcome.result.text().view() : input;
}

inline bool holds_listing_control(std::string_view text) {
  return text.find_first_of(std::string_view("\a\t\n\f")) != std::string_view::npos;
}

inline bool holds_split_delimiter(std::string_view text) {
  for (std::string_view sequence : {"{_{", "}_}", "{_%", "%_}"}) {
    if (text.find(sequence) != std::string_view::npos) return true;
  }
  return false;
}

// A paragraph start tag: "<w:p" followed by ">" or a space.
inline bool paragraph_start_at(std::string_view text, size_t at) {
  return text.compare(at, 4, "<w:p") == 0 && at + 4 < text.size() &&
         (text[at + 4] == '>' || text[at + 4] == ' ');
}

}  // namespace fuzz
