// An owned run of bytes, released by the function that came with it: a payload decoded into
// pages of its own stays in them, without a copy into another container. Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace boot {

class ByteBuffer {
 public:
  // Gives back `data` with the capacity it was made with.
  using Release = void (*)(std::uint8_t* data, std::size_t capacity);

  ByteBuffer() = default;
  ByteBuffer(std::uint8_t* data, std::size_t size, std::size_t capacity, Release release) noexcept
      : data_(data), size_(size), capacity_(capacity), release_(release) {}
  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        release_(std::exchange(other.release_, nullptr)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      Reset();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
      release_ = std::exchange(other.release_, nullptr);
    }
    return *this;
  }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { Reset(); }

  // A copy of `size` bytes at `bytes` on the heap.
  static ByteBuffer CopyOf(const void* bytes, std::size_t size) {
    auto* data = new std::uint8_t[size == 0 ? 1 : size];
    if (size != 0) std::memcpy(data, bytes, size);
    return ByteBuffer(data, size, size, [](std::uint8_t* p, std::size_t) { delete[] p; });
  }

  void Reset() noexcept {
    if (data_ != nullptr && release_ != nullptr) release_(data_, capacity_);
    data_ = nullptr;
    size_ = capacity_ = 0;
    release_ = nullptr;
  }

  // Keeps the first `size` bytes (at most the capacity) as the content.
  void set_size(std::size_t size) noexcept { size_ = size < capacity_ ? size : capacity_; }

  std::uint8_t* data() noexcept { return data_; }
  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const std::uint8_t* begin() const noexcept { return data_; }
  const std::uint8_t* end() const noexcept { return data_ + size_; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  Release release_ = nullptr;
};

}  // namespace boot
