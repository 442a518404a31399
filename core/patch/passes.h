// The eighteen passes of the patch pipeline, in table order. Each is a pure
// function from the current text to a PassResult: Unchanged allocates nothing,
// Rewritten hands over a new text, Fallback abandons the pipeline.
#pragma once

#include <string_view>

#include "pass_result.h"

namespace tesserine {

PassResult join_split_delimiters(std::string_view text);       //  0
PassResult merge_tag_text_runs(std::string_view text);         //  1
PassResult apply_colspan_tags(std::string_view text);          //  2
PassResult apply_cellbg_tags(std::string_view text);           //  3
PassResult preserve_tag_text_space(std::string_view text);     //  4
PassResult isolate_run_tags(std::string_view text);            //  5
PassResult trim_markup_before_tags(std::string_view text);     //  6
PassResult trim_markup_after_tags(std::string_view text);      //  7
PassResult replace_row_tags(std::string_view text);            //  8
PassResult replace_cell_tags(std::string_view text);           //  9
PassResult replace_paragraph_tags(std::string_view text);      // 10
PassResult replace_run_tags(std::string_view text);            // 11
PassResult replace_row_comments(std::string_view text);        // 12
PassResult replace_cell_comments(std::string_view text);       // 13
PassResult replace_paragraph_comments(std::string_view text);  // 14
PassResult apply_vmerge_tags(std::string_view text);           // 15
PassResult apply_hmerge_tags(std::string_view text);           // 16
PassResult clean_tag_bodies(std::string_view text);            // 17

}  // namespace tesserine
