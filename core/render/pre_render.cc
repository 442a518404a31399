#include <string_view>

#include "render/render.h"
#include "scan/rewriter.h"
#include "scan/search.h"

namespace tesserine {

PassResult pre_render(std::string_view text) {
  constexpr StartTagPattern paragraph{"<w:p", false};
  Rewriter out(text);
  size_t pos = 0;
  while (Offset p = find_from(text, paragraph.prefix, pos)) {
    pos = *p + paragraph.prefix.size();
    if (is_start_tag(text, paragraph, *p)) {
      // The tag itself reaches the output with the next copy or with finish.
      out.copy_until(*p, *p);
      out.push_str("\n");
    }
  }
  return out.finish();
}

}  // namespace tesserine
