#include "patch/pipeline.h"

#include <optional>
#include <utility>

#include "markup.h"
#include "patch/passes.h"
#include "scan/search.h"

namespace tesserine {

namespace {

// Every tag opens with "{"; statement tags with "{%", comment tags with "{#".
constexpr std::string_view ANY_TAG = "{";
constexpr std::string_view STATEMENT = STATEMENT_OPENER.view();
constexpr std::string_view COMMENT = COMMENT_OPENER.view();

}  // namespace

// The passes that fall back: colspan and cellbg on a backslash in the
// expression, hmerge on a span value that is not plain ASCII.
const std::array<PatchPass, 18> PATCH_PASSES = {{
    {"join_split_delimiters", join_split_delimiters},
    {"merge_tag_text_runs", merge_tag_text_runs, ANY_TAG},
    {"apply_colspan_tags", apply_colspan_tags, STATEMENT, true},
    {"apply_cellbg_tags", apply_cellbg_tags, STATEMENT, true},
    {"preserve_tag_text_space", preserve_tag_text_space, ANY_TAG},
    {"isolate_run_tags", isolate_run_tags, ANY_TAG},
    {"trim_markup_before_tags", trim_markup_before_tags, STATEMENT},
    {"trim_markup_after_tags", trim_markup_after_tags},
    {"replace_row_tags", replace_row_tags, ANY_TAG},
    {"replace_cell_tags", replace_cell_tags, ANY_TAG},
    {"replace_paragraph_tags", replace_paragraph_tags, ANY_TAG},
    {"replace_run_tags", replace_run_tags, ANY_TAG},
    {"replace_row_comments", replace_row_comments, COMMENT},
    {"replace_cell_comments", replace_cell_comments, COMMENT},
    {"replace_paragraph_comments", replace_paragraph_comments, COMMENT},
    {"apply_vmerge_tags", apply_vmerge_tags, STATEMENT},
    {"apply_hmerge_tags", apply_hmerge_tags, STATEMENT, true},
    {"clean_tag_bodies", clean_tag_bodies, ANY_TAG},
}};

namespace {

// What is known about which `needs` literals the current text contains. A
// literal that contains one known to be absent is absent too, so a text without
// "{" costs one search for all the passes that need a tag.
class LiteralPresence {
 public:
  bool contains(std::string_view text, std::string_view literal) {
    for (size_t i = 0; i < count_; ++i) {
      if (known_[i].literal == literal) return known_[i].present;
      if (!known_[i].present && literal.find(known_[i].literal) != std::string_view::npos)
        return false;
    }
    const bool present = find_from(text, literal, 0).has_value();
    if (count_ < kSlots) known_[count_++] = {literal, present};
    return present;
  }

  void forget() noexcept { count_ = 0; }

 private:
  static constexpr size_t kSlots = 4;
  struct Known {
    std::string_view literal;
    bool present;
  };
  Known known_[kSlots];
  size_t count_ = 0;
};

}  // namespace

PassResult run_patch_pipeline(std::string_view src, std::span<const PatchPass> passes) {
  ScratchScope scratch;
  // `owned` holds the current text once a pass has rewritten it; assigning the
  // next result releases the previous one.
  std::optional<Buffer> owned;
  std::string_view current = src;
  // Looked up once per text, when a pass first asks: parts without template
  // tags then cost one search instead of one pass each, and in a template part
  // the first "{" comes early.
  LiteralPresence presence;
  for (const PatchPass& pass : passes) {
    if (!pass.needs.empty() && !presence.contains(current, pass.needs)) continue;
    PassResult result = pass.run(current);
    if (result.is_fallback()) return result;
    if (result.is_rewritten()) {
      owned = std::move(result.text());
      current = owned->view();
      presence.forget();
    }
  }
  if (owned) return PassResult::rewritten(std::move(*owned));
  Buffer copy(src.size());
  copy.append(src);
  return PassResult::rewritten(std::move(copy));
}

PassResult run_patch_pipeline(std::string_view src) {
  return run_patch_pipeline(src, PATCH_PASSES);
}

}  // namespace tesserine
