// Memory exhaustion inside the core: whichever allocation of a call fails, the
// failure comes out as std::bad_alloc, the pool is back within its bound, and
// the next call gives the same text as before.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "fault.h"
#include "patch/pipeline.h"
#include "render/render.h"
#include "scan/buffer.h"
#include "test_util.h"

namespace tesserine {
namespace {

std::string repeated(std::string_view piece, size_t bytes) {
  std::string out;
  while (out.size() < bytes) out += piece;
  return out;
}

// A row tag, a split delimiter, a trim marker and a quote inside a tag: most
// passes rewrite this.
constexpr std::string_view kTemplate =
    "<w:tbl><w:tr><w:tc><w:p><w:r><w:t>{%tr for r in rows %}</w:t></w:r></w:p></w:tc></w:tr>"
    "<w:tr><w:tc><w:p><w:r><w:t>{</w:t></w:r><w:r><w:t>{ r.name }}</w:t></w:r></w:p></w:tc></w:tr>"
    "<w:tr><w:tc><w:p><w:r><w:t>{%tr endfor %}</w:t></w:r></w:p></w:tc></w:tr></w:tbl>"
    "<w:p><w:r><w:t>{%- if x == \xE2\x80\x9Cy\xE2\x80\x9D %}</w:t></w:r></w:p>";
// Paragraph LFs, delimiter sequences and every listing control: the text of
// each step outgrows the room it started with. The same with plain paragraphs
// between, for a large text that takes less time.
constexpr std::string_view kRendered =
    "\n<w:p><w:r><w:t>a\tb\nc\ad\fe {_{ x }_} {_% y %_}</w:t></w:r></w:p>";
constexpr std::string_view kSparselyRendered =
    "\n<w:p><w:r><w:t>a\tb\nc\ad\fe {_{ x }_} {_% y %_}</w:t></w:r></w:p>"
    "\n<w:p><w:pPr><w:jc w:val=\"left\"/></w:pPr><w:r><w:t>Nothing to resolve.</w:t></w:r></w:p>";

struct Case {
  const char* name;
  PassResult (*run)(std::string_view);
  std::string text;
};

TEST(OutOfMemory, EveryAllocationOfACallMayFailAndThePoolStaysUsable) {
  // Small texts use malloc and realloc; large ones take blocks from the pool
  // and map them.
  const Case cases[] = {
      {"patch_xml", run_patch_pipeline, repeated(kTemplate, 4000)},
      {"patch_xml", run_patch_pipeline, repeated(kTemplate, MAPPED_BLOCK)},
      {"pre_render", pre_render, repeated(kRendered, MAPPED_BLOCK)},
      {"post_render", post_render, repeated(kRendered, 4000)},
      {"post_render", post_render, repeated(kSparselyRendered, MAPPED_BLOCK)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.name << " on " << c.text.size() << " bytes");
    const std::optional<std::string> want = test::outcome(c.run(c.text));
    ASSERT_TRUE(want.has_value());
    size_t failures = 0;
    for (size_t allowed = 0;; ++allowed) {
      ASSERT_LT(allowed, 200u) << "a call that never gets through";
      release_kept_blocks();  // so that every allocation of the call is a fresh one
      limit_allocations(allowed);
      bool failed = false;
      try {
        EXPECT_EQ(test::outcome(c.run(c.text)), want) << "with " << allowed << " allocations";
      } catch (const std::bad_alloc&) {
        failed = true;
      }
      limit_allocations(ALLOCATIONS_UNLIMITED);
      EXPECT_LE(kept_block_bytes(), BLOCK_POOL_KEPT_BYTES);
      EXPECT_EQ(test::outcome(c.run(c.text)), want) << "after " << allowed << " allocations";
      if (!failed) break;
      ++failures;
    }
    EXPECT_GT(failures, 0u);
  }
}

// A buffer whose growth fails keeps what it held.
TEST(OutOfMemory, FailedGrowthLeavesTheBufferIntact) {
  for (const size_t held : {size_t{100}, MAPPED_BLOCK}) {
    Buffer buffer;
    buffer.append(std::string(held, 'h'));
    limit_allocations(0);
    EXPECT_THROW(buffer.append(std::string(buffer.capacity(), 'x')), std::bad_alloc);
    limit_allocations(ALLOCATIONS_UNLIMITED);
    EXPECT_EQ(buffer.view(), std::string(held, 'h'));
    buffer.append("more");
    EXPECT_EQ(buffer.size(), held + 4);
  }
}

// A size that overflows is a fault of the caller; one the system cannot give is
// memory exhaustion.
TEST(OutOfMemory, OverflowingSizesAreFaultsAndImpossibleOnesBadAlloc) {
  EXPECT_THROW(Buffer{SIZE_MAX}, Fault);
  EXPECT_THROW(Buffer{}.reserve_tail(SIZE_MAX), Fault);
  EXPECT_THROW(Buffer{SIZE_MAX / 2}, std::bad_alloc);
  Buffer held;
  held.append("x");
  EXPECT_THROW(held.reserve_tail(SIZE_MAX / 2), std::bad_alloc);
  EXPECT_EQ(held.view(), "x");
}

}  // namespace
}  // namespace tesserine
