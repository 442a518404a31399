#include <iterator>
#include <string_view>

#include "render/render.h"
#include "scan/rewriter.h"
#include "scan/search.h"

namespace tesserine {

PassResult pre_render(std::string_view text) {
  constexpr StartTagPattern paragraph{"<w:p", false};
  Rewriter out(text);
  // The prefix occurs every few hundred bytes of markup: collected in batches
  // by one scan rather than searched for one at a time. It cannot overlap
  // itself, so each occurrence found is one the search would have visited.
  size_t found[256];
  for (size_t from = 0;;) {
    const size_t count = find_all(text, paragraph.literal, from, found);
    for (size_t i = 0; i < count; ++i) {
      if (!is_start_tag(text, paragraph, found[i])) continue;
      // The tag itself reaches the output with the next copy or with finish.
      out.copy_until(found[i], found[i]);
      out.push_str("\n");
    }
    if (count < std::size(found)) break;
    from = found[count - 1] + 1;
  }
  return out.finish();
}

}  // namespace tesserine
