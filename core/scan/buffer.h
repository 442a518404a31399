// Buffer: an owned, growable byte string.
//
// Used for every text the core produces. Growth follows one rule everywhere: when
// an append needs more room, the new capacity is the largest of the required
// length, twice the old capacity and 8 bytes. Its memory is a block of
// scan/block_pool.h, so large buffers are mapped in huge pages and recycled per
// thread. A failed allocation throws std::bad_alloc and leaves the buffer as it
// was. A size that overflows size_t is an internal fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "scan/block_pool.h"
#include "scan/simd.h"

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

  // Inline: rewrites append once per edit, often only a few bytes.
  void append(std::string_view bytes) {
    const size_t n = bytes.size();
    if (n > block_.capacity - size_) return append_growing(bytes);
    if (n >= 256) {
      simd::copy_bytes(block_.data + size_, bytes.data(), n);
    } else if (n != 0) {
      std::memcpy(block_.data + size_, bytes.data(), n);
    }
    size_ += n;
  }
  void push_back(char byte) { append(std::string_view(&byte, 1)); }
  // Room for `n` more bytes, written in place by the caller and then counted
  // with commit: for producers that do not know their output length up front.
  char* reserve_tail(size_t n);
  void commit(size_t n);

  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return block_.capacity; }
  bool empty() const noexcept { return size_ == 0; }
  const char* data() const noexcept { return block_.data; }
  std::string_view view() const noexcept { return {block_.data, size_}; }

 private:
  void append_growing(std::string_view bytes);
  void grow(size_t required);
  void release() noexcept;

  Block block_;
  size_t size_ = 0;
};

// Checked a + b for buffer sizes: overflow is an internal fault.
size_t checked_add(size_t a, size_t b);

}  // namespace tesserine
