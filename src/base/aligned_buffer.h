// An owned, zero-filled array of trivially copyable T aligned to 64 bytes
// (a cache line, and the widest vector register), for transform data.
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

  aligned_buffer() = default;
  // n zero elements; throws std::bad_alloc when the memory cannot be had.
  explicit aligned_buffer(size_t n) : n_(n) {
    if (n == 0) return;
    if (n > (SIZE_MAX - kAlign) / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = n * sizeof(T);
    data_ = static_cast<T*>(::operator new(bytes, std::align_val_t{kAlign}));
    std::memset(static_cast<void*>(data_), 0, bytes);
  }
  ~aligned_buffer() {
    if (data_ != nullptr) ::operator delete(data_, std::align_val_t{kAlign});
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

 private:
  T* data_ = nullptr;
  size_t n_ = 0;
};
