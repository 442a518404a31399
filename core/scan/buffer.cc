#include "scan/buffer.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "fault.h"

namespace tesserine {
namespace {

struct Scratch {
  bool active = false;
  char* data = nullptr;
  size_t capacity = 0;
};

thread_local Scratch scratch;

}  // namespace

ScratchScope::ScratchScope() noexcept : outermost_(!scratch.active) { scratch.active = true; }

ScratchScope::~ScratchScope() {
  if (!outermost_) return;
  std::free(scratch.data);
  scratch = Scratch{};
}

size_t checked_add(size_t a, size_t b) {
  size_t sum;
  if (__builtin_add_overflow(a, b, &sum)) fault("buffer size overflows: %zu + %zu", a, b);
  return sum;
}

Buffer::Buffer(size_t capacity) {
  if (capacity == 0) return;
  // Only a block of a similar size is taken, so that a small buffer does not
  // take the block the next full text needs.
  if (scratch.data != nullptr && scratch.capacity >= capacity &&
      scratch.capacity / 2 <= capacity) {
    data_ = std::exchange(scratch.data, nullptr);
    capacity_ = std::exchange(scratch.capacity, 0);
    return;
  }
  data_ = static_cast<char*>(std::malloc(capacity));
  if (data_ == nullptr) out_of_memory(capacity);
  capacity_ = capacity;
}

Buffer::Buffer(Buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

Buffer::~Buffer() { release(); }

void Buffer::release() noexcept {
  if (scratch.active && data_ != nullptr && capacity_ > scratch.capacity) {
    std::free(scratch.data);
    scratch.data = data_;
    scratch.capacity = capacity_;
  } else {
    std::free(data_);
  }
}

void Buffer::grow(size_t required) {
  size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2;
  size_t next = required;
  if (doubled > next) next = doubled;
  if (next < 8) next = 8;
  char* grown = static_cast<char*>(std::realloc(data_, next));
  if (grown == nullptr) out_of_memory(next);
  data_ = grown;
  capacity_ = next;
}

void Buffer::append(std::string_view bytes) {
  if (bytes.empty()) return;
  size_t required = checked_add(size_, bytes.size());
  if (required > capacity_) grow(required);
  std::memcpy(data_ + size_, bytes.data(), bytes.size());
  size_ = required;
}

void Buffer::push_back(char byte) { append(std::string_view(&byte, 1)); }

}  // namespace tesserine
