// An owned, zero-filled array of trivially copyable T aligned to 64 bytes
// (a cache line, and the widest vector register), for transform data, with
// a guard line of a known pattern on each side: intact() tells whether any
// code (a library's transform included, which no sanitizer watches) wrote
// past either end.
#pragma once

#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "base/tuning.h"

template <class T>
class aligned_buffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  static constexpr size_t kAlign = 64;
  static constexpr unsigned char kGuard = 0xA5;
  static constexpr size_t kHugeFrom = tuning::kHugePagesFrom;
  static constexpr size_t kHugePage = size_t{2} << 20;

  aligned_buffer() = default;
  // n zero elements; throws std::bad_alloc when the memory cannot be had.
  explicit aligned_buffer(size_t n) : n_(n) {
    if (n == 0) return;
    if (n > (SIZE_MAX - kHugePage) / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = n * sizeof(T);
    // Big arrays start on a huge page, at an offset of their own; the advice
    // is only that: where the kernel has none to give, small pages serve.
    if (huge()) {
      static std::atomic<unsigned> made{0};
      lead_ = kAlign * (1 + 17 * (made.fetch_add(1, std::memory_order_relaxed) % 16));
    }
    const size_t whole = lead_ + bytes + kAlign;
    unsigned char* base =
        static_cast<unsigned char*>(::operator new(whole, std::align_val_t{huge() ? kHugePage : kAlign}));
    if (huge()) madvise(base, whole / kHugePage * kHugePage, MADV_HUGEPAGE);
    std::memset(base + lead_ - kAlign, kGuard, kAlign);
    std::memset(base + lead_ + bytes, kGuard, kAlign);
    data_ = reinterpret_cast<T*>(base + lead_);
    std::memset(static_cast<void*>(data_), 0, bytes);
  }
  ~aligned_buffer() {
    if (data_ != nullptr)
      ::operator delete(reinterpret_cast<unsigned char*>(data_) - lead_, std::align_val_t{huge() ? kHugePage : kAlign});
  }
  aligned_buffer(aligned_buffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), n_(std::exchange(o.n_, 0)), lead_(std::exchange(o.lead_, kAlign)) {}
  aligned_buffer& operator=(aligned_buffer&& o) noexcept {
    swap(o);
    return *this;
  }
  aligned_buffer(const aligned_buffer&) = delete;
  aligned_buffer& operator=(const aligned_buffer&) = delete;

  void swap(aligned_buffer& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(n_, o.n_);
    std::swap(lead_, o.lead_);
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
  // Whether the array is big enough to be on huge pages.
  bool huge() const { return n_ * sizeof(T) >= kHugeFrom; }

  T* data_ = nullptr;
  size_t n_ = 0;
  size_t lead_ = kAlign;  // bytes from the allocation's start to data_
};
