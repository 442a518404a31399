// Buffer: an owned, growable byte string.
//
// Used for every text the core produces. Growth follows one rule everywhere: when
// an append needs more room, the new capacity is the largest of the required
// length, twice the old capacity and 8 bytes. Allocation failure aborts the
// process (out_of_memory); a size that overflows size_t is an internal fault.
#pragma once

#include <cstddef>
#include <string_view>

namespace tesserine {

class Buffer {
 public:
  Buffer() noexcept = default;
  // An empty buffer that already holds `capacity` bytes of room.
  explicit Buffer(size_t capacity);
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& other) noexcept;
  Buffer& operator=(Buffer&& other) noexcept;
  ~Buffer();

  void append(std::string_view bytes);
  void push_back(char byte);
  void clear() noexcept { size_ = 0; }

  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  const char* data() const noexcept { return data_; }
  std::string_view view() const noexcept { return {data_, size_}; }

 private:
  void grow(size_t required);
  void release() noexcept;

  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// While a ScratchScope lives on a thread, the largest block released there is
// kept for the next Buffer of a similar size instead of going back to the system.
// A pipeline that rewrites a large text pass after pass then reuses its blocks
// rather than faulting in fresh pages for every pass (and, in several threads at
// once, contending for the address space). The kept block is freed when the
// outermost scope ends, so nothing outlives the call.
class ScratchScope {
 public:
  ScratchScope() noexcept;
  ScratchScope(const ScratchScope&) = delete;
  ScratchScope& operator=(const ScratchScope&) = delete;
  ~ScratchScope();

 private:
  bool outermost_;
};

// Checked a + b for buffer sizes: overflow is an internal fault.
size_t checked_add(size_t a, size_t b);

}  // namespace tesserine
