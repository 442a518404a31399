// The eighteen passes of the patch pipeline, in table order. Each is a pure
// function from the current text to a PassResult: Unchanged allocates nothing,
// Rewritten hands over a new text, Fallback abandons the pipeline.
#pragma once

#include <string_view>

#include "pass_result.h"

namespace tesserine {

PassResult join_split_delimiters(std::string_view text);
PassResult merge_tag_text_runs(std::string_view text);
PassResult apply_colspan_tags(std::string_view text);
PassResult apply_cellbg_tags(std::string_view text);
PassResult preserve_tag_text_space(std::string_view text);
PassResult isolate_run_tags(std::string_view text);
PassResult trim_markup_before_tags(std::string_view text);
PassResult trim_markup_after_tags(std::string_view text);
PassResult replace_row_tags(std::string_view text);
PassResult replace_cell_tags(std::string_view text);
PassResult replace_paragraph_tags(std::string_view text);
PassResult replace_run_tags(std::string_view text);
PassResult replace_row_comments(std::string_view text);
PassResult replace_cell_comments(std::string_view text);
PassResult replace_paragraph_comments(std::string_view text);
PassResult apply_vmerge_tags(std::string_view text);
PassResult apply_hmerge_tags(std::string_view text);
PassResult clean_tag_bodies(std::string_view text);

}  // namespace tesserine
