#include "fault.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tesserine {

Fault::Fault(const char* description) noexcept {
  std::snprintf(text_, sizeof text_, "%s", description);
}

void fault(const char* format, ...) {
  char text[160];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  throw Fault(text);
}

void out_of_memory(size_t requested) noexcept {
  std::fprintf(stderr, "tesserine: memory allocation of %zu bytes failed; aborting\n", requested);
  std::fflush(stderr);
  std::abort();
}

}  // namespace tesserine
