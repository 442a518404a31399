#include "patch/pipeline.h"

#include <optional>
#include <utility>

#include "patch/passes.h"

namespace tesserine {

const std::array<PatchPass, 18> PATCH_PASSES = {{
    {"join_split_delimiters", join_split_delimiters},
    {"merge_tag_text_runs", merge_tag_text_runs},
    {"apply_colspan_tags", apply_colspan_tags},
    {"apply_cellbg_tags", apply_cellbg_tags},
    {"preserve_tag_text_space", preserve_tag_text_space},
    {"isolate_run_tags", isolate_run_tags},
    {"trim_markup_before_tags", trim_markup_before_tags},
    {"trim_markup_after_tags", trim_markup_after_tags},
    {"replace_row_tags", replace_row_tags},
    {"replace_cell_tags", replace_cell_tags},
    {"replace_paragraph_tags", replace_paragraph_tags},
    {"replace_run_tags", replace_run_tags},
    {"replace_row_comments", replace_row_comments},
    {"replace_cell_comments", replace_cell_comments},
    {"replace_paragraph_comments", replace_paragraph_comments},
    {"apply_vmerge_tags", apply_vmerge_tags},
    {"apply_hmerge_tags", apply_hmerge_tags},
    {"clean_tag_bodies", clean_tag_bodies},
}};

PassResult run_patch_pipeline(std::string_view src, std::span<const PatchPass> passes) {
  ScratchScope scratch;
  // `owned` holds the current text once a pass has rewritten it; assigning the
  // next result releases the previous one.
  std::optional<Buffer> owned;
  std::string_view current = src;
  for (const PatchPass& pass : passes) {
    PassResult result = pass.run(current);
    if (result.is_fallback()) return result;
    if (result.is_rewritten()) {
      owned = std::move(result.text());
      current = owned->view();
    }
  }
  if (owned) return PassResult::rewritten(std::move(*owned));
  Buffer copy(src.size());
  copy.append(src);
  return PassResult::rewritten(std::move(copy));
}

PassResult run_patch_pipeline(std::string_view src) { return run_patch_pipeline(src, PATCH_PASSES); }

}  // namespace tesserine
