#include "scan/buffer.h"

#include <utility>

#include "fault.h"
#include "scan/simd.h"

namespace tesserine {

size_t checked_add(size_t a, size_t b) {
  size_t sum;
  if (__builtin_add_overflow(a, b, &sum)) fault("buffer size overflows: %zu + %zu", a, b);
  return sum;
}

Buffer::Buffer(size_t capacity) {
  if (capacity != 0) block_ = acquire_block(capacity);
}

Buffer::Buffer(Buffer&& other) noexcept
    : block_(std::exchange(other.block_, Block{})), size_(std::exchange(other.size_, 0)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
  if (this != &other) {
    release();
    block_ = std::exchange(other.block_, Block{});
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

Buffer::~Buffer() { release(); }

void Buffer::release() noexcept {
  if (block_.data != nullptr) release_block(block_);
  block_ = Block{};
  size_ = 0;
}

void Buffer::grow(size_t required) {
  const size_t capacity = block_.capacity;
  size_t next = capacity > SIZE_MAX / 2 ? SIZE_MAX : capacity * 2;
  if (required > next) next = required;
  if (next < 8) next = 8;
  block_ = grow_block(block_, size_, next);
}

char* Buffer::reserve_tail(size_t n) {
  const size_t required = checked_add(size_, n);
  if (required > block_.capacity) grow(required);
  return block_.data + size_;
}

void Buffer::commit(size_t n) {
  if (n > block_.capacity - size_)
    fault("commit: %zu bytes past the %zu reserved", n, block_.capacity - size_);
  size_ += n;
}

void Buffer::append_growing(std::string_view bytes) {
  const size_t required = checked_add(size_, bytes.size());
  grow(required);
  simd::copy_bytes(block_.data + size_, bytes.data(), bytes.size());
  size_ = required;
}

}  // namespace tesserine
