// A pass or step that changes nothing must allocate nothing. This binary
// interposes glibc's allocator to count every allocation made by a call, so it
// is built without sanitizers (which bring their own allocator).
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "patch/pipeline.h"
#include "render/render.h"

namespace {
thread_local size_t allocations = 0;
}

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* malloc(size_t n) {
  ++allocations;
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
  ++allocations;
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
  ++allocations;
  return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
}

namespace tesserine {
namespace {

// Parts on which most passes find nothing to do, and some on which a pass finds
// candidates that it then rejects (tags outside cells, openers without closers,
// keywords in body text).
std::vector<std::string> corpus() {
  const std::string run = "<w:r><w:rPr><w:b/></w:rPr><w:t xml:space=\"preserve\">Hi</w:t></w:r>";
  std::string part = "<w:body>";
  for (int i = 0; i < 50; ++i) part += "<w:p><w:pPr><w:jc/></w:pPr>" + run + "</w:p>";
  part += "<w:tbl><w:tr><w:tc><w:tcPr/><w:p>" + run + "</w:p></w:tc></w:tr></w:tbl></w:body>";
  return {"",
          part,
          "<w:t>{{ a }} {% if b %} {# c #}</w:t>",
          "{{ {{ {{ {% {% {%- -%} }} %}",
          "{%tr x %} {% vm %} {% hm %} {% colspan 2 %} {% cellbg c %} outside any cell",
          "colspan cellbg vm hm in body text <w:tc><w:p>no tags</w:p></w:tc>",
          "<w:p><w:r><w:t>\ttab outside runs</w:t></w:p>\a"};
}

template <typename Fn>
void expect_no_allocation_when_unchanged(const char* name, Fn fn) {
  for (const std::string& text : corpus()) {
    allocations = 0;
    PassResult result = fn(text);
    const size_t counted = allocations;
    if (!result.is_unchanged()) continue;
    EXPECT_EQ(counted, 0u) << name << " on: " << text.substr(0, 60);
  }
}

TEST(Allocation, UnchangedPassesAndStepsAllocateNothing) {
  for (const PatchPass& pass : PATCH_PASSES)
    expect_no_allocation_when_unchanged(pass.name, pass.run);
  expect_no_allocation_when_unchanged("pre_render", pre_render);
  expect_no_allocation_when_unchanged("post_render", post_render);
  expect_no_allocation_when_unchanged("strip_paragraph_breaks", strip_paragraph_breaks);
  expect_no_allocation_when_unchanged("resolve_listing", resolve_listing);
  // The counter does see allocations.
  allocations = 0;
  EXPECT_TRUE(pre_render("<w:p>").is_rewritten());
  EXPECT_GT(allocations, 0u);
}

}  // namespace
}  // namespace tesserine
