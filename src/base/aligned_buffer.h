// An owned, zero-filled array of trivially copyable T aligned to 64 bytes
// (a cache line, and the widest vector register), for transform data, with
// a guard line of a known pattern on each side: intact() tells whether any
// code (a library's transform included, which no sanitizer watches) wrote
// past either end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

template <class T>
class aligned_buffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  static constexpr size_t kAlign = 64;
  static constexpr unsigned char kGuard = 0xA5;

  aligned_buffer() = default;
  // n zero elements; throws std::bad_alloc when the memory cannot be had.
  explicit aligned_buffer(size_t n) : n_(n) {
    if (n == 0) return;
    if (n > (SIZE_MAX - 4 * kAlign) / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = n * sizeof(T);
    unsigned char* base = static_cast<unsigned char*>(::operator new(bytes + 2 * kAlign, std::align_val_t{kAlign}));
    std::memset(base, kGuard, kAlign);
    std::memset(base + kAlign + bytes, kGuard, kAlign);
    data_ = reinterpret_cast<T*>(base + kAlign);
    std::memset(static_cast<void*>(data_), 0, bytes);
  }
  ~aligned_buffer() {
    if (data_ != nullptr) ::operator delete(reinterpret_cast<unsigned char*>(data_) - kAlign, std::align_val_t{kAlign});
  }
  aligned_buffer(aligned_buffer&& o) noexcept : data_(std::exchange(o.data_, nullptr)), n_(std::exchange(o.n_, 0)) {}
  aligned_buffer& operator=(aligned_buffer&& o) noexcept {
    swap(o);
    return *this;
  }
  aligned_buffer(const aligned_buffer&) = delete;
  aligned_buffer& operator=(const aligned_buffer&) = delete;

  void swap(aligned_buffer& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(n_, o.n_);
  }
  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return n_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  // Whether both guard lines still hold their pattern (true when empty).
  bool intact() const {
    if (data_ == nullptr) return true;
    const unsigned char* before = reinterpret_cast<const unsigned char*>(data_) - kAlign;
    const unsigned char* after = reinterpret_cast<const unsigned char*>(data_ + n_);
    for (size_t i = 0; i < kAlign; ++i)
      if (before[i] != kGuard || after[i] != kGuard) return false;
    return true;
  }

 private:
  T* data_ = nullptr;
  size_t n_ = 0;
};
