#include "fault.h"

#include <cstdarg>
#include <cstdio>
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

}  // namespace tesserine
