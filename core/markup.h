// The template delimiters and the WordprocessingML markup that several passes
// and steps look for or write, each named once.
#pragma once

#include <string_view>

#include "scan/search.h"

namespace tesserine {

// Template tags.
inline constexpr Literal EXPRESSION_OPENER("{{");
inline constexpr Literal STATEMENT_OPENER("{%");
inline constexpr Literal COMMENT_OPENER("{#");
inline constexpr Literal EXPRESSION_CLOSER("}}");
inline constexpr Literal STATEMENT_CLOSER("%}");
inline constexpr Literal COMMENT_CLOSER("#}");

// Elements: the start tag (its prefix, then a space or ">") and the end tag.
inline constexpr StartTagPattern PARAGRAPH_START{"<w:p", false};
inline constexpr Literal PARAGRAPH_END("</w:p>");
inline constexpr StartTagPattern ROW_START{"<w:tr", false};
inline constexpr Literal ROW_END("</w:tr>");
inline constexpr StartTagPattern CELL_START{"<w:tc", false};
inline constexpr Literal CELL_END("</w:tc>");
inline constexpr StartTagPattern RUN_START{"<w:r", false};
inline constexpr Literal RUN_END("</w:r>");
inline constexpr StartTagPattern TEXT_START{"<w:t", false};
inline constexpr Literal TEXT_END("</w:t>");

// A text element's start tag without attributes, and the one that keeps the
// spaces at the ends of its text.
inline constexpr Literal BARE_TEXT_START("<w:t>");
inline constexpr std::string_view PRESERVED_TEXT_START = "<w:t xml:space=\"preserve\">";

}  // namespace tesserine
