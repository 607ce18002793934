// DynArray: the growable array behind the string pool and every table of a
// Module. Its length is kept with the storage and is separate from the "used"
// counters that live in the Module; growth is by a fixed step, new elements
// are zero-filled, and indexing is checked.
//
// Plain records live in calloc'd storage with room to spare: zero pages come
// lazily from the system, so sizing the pool for a whole Bible costs nothing
// until it is written, and repeated fixed-step growth stays amortised O(1).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <vector>

#include "model/errors.h"
#include "platform/memory.h"

namespace quillavor {

namespace dyn_array_detail {

// Zero-filled storage for trivially copyable elements. Every element between
// the length and the capacity is kept zero.
template <typename T>
class PlainStorage {
 public:
  PlainStorage() = default;
  ~PlainStorage() { std::free(data_); }
  PlainStorage(const PlainStorage&) = delete;
  PlainStorage& operator=(const PlainStorage&) = delete;
  PlainStorage(PlainStorage&& other) noexcept { Swap(other); }
  PlainStorage& operator=(PlainStorage&& other) noexcept {
    Swap(other);
    return *this;
  }

  size_t size() const { return size_; }
  // Makes room for n elements without changing the size.
  void reserve(size_t n) {
    if (n > capacity_) Reallocate(n);
  }
  T* data() { return data_; }
  const T* data() const { return data_; }

  void resize(size_t n) {
    if (n < size_) {
      ClearFrom(n);
    } else if (n > capacity_) {
      Reallocate(std::max(n, capacity_ + capacity_ / 2));
    }
    size_ = n;
  }

 private:
  // Zeroes the elements from n to the size (out of line: shrinking is rare,
  // and inlined into growth paths it only confuses the compiler's bounds
  // analysis).
  [[gnu::noinline]] void ClearFrom(size_t n) { std::fill(data_ + n, data_ + size_, T{}); }

  void Reallocate(size_t capacity) {
    T* grown = static_cast<T*>(std::calloc(capacity, sizeof(T)));
    if (grown == nullptr) throw std::bad_alloc();
    // The pool of a whole Bible and its occurrence table span many
    // megabytes: large pages spare them most of their first-touch faults.
    if (capacity * sizeof(T) >= kLargeBuffer) memory::AdviseLargePages(grown, capacity * sizeof(T));
    if (size_ > 0) std::memcpy(static_cast<void*>(grown), data_, size_ * sizeof(T));
    std::free(data_);
    data_ = grown;
    capacity_ = capacity;
  }

  void Swap(PlainStorage& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  static constexpr size_t kLargeBuffer = size_t{4} << 20;

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

template <typename T>
using Storage =
    std::conditional_t<std::is_trivially_copyable_v<T>, PlainStorage<T>, std::vector<T>>;

}  // namespace dyn_array_detail

template <typename T>
class DynArray {
 public:
  int64_t Length() const { return static_cast<int64_t>(items_.size()); }

  // Keeps the first min(old, n) elements; new elements are zero (value-
  // initialised for the in-memory image records).
  void SetLength(int64_t n) {
    if (n < 0) throw DynArrayOutOfRange(n, Length());
    items_.resize(static_cast<size_t>(n));
  }
  void Grow(int64_t step) { SetLength(Length() + step); }
  // Sets aside room for `n` elements without changing the length, so that
  // later growth up to `n` neither moves nor copies the elements.
  void Reserve(int64_t n) {
    if (n > 0) items_.reserve(static_cast<size_t>(n));
  }

  T& operator[](int64_t i) {
    Check(i);
    return items_.data()[i];
  }
  const T& operator[](int64_t i) const {
    Check(i);
    return items_.data()[i];
  }

  // Appends at index `used` under the table rules: grows by `step` when the
  // used counter has reached the length, then increments `used`.
  int32_t Append(int32_t& used, int64_t step) {
    if (used >= Length()) Grow(step);
    return used++;
  }

  T* Data() { return items_.data(); }
  const T* Data() const { return items_.data(); }
  std::span<T> Span() { return {items_.data(), items_.size()}; }
  std::span<const T> Span() const { return {items_.data(), items_.size()}; }

 private:
  void Check(int64_t i) const {
    if (i < 0 || i >= Length()) throw DynArrayOutOfRange(i, Length());
  }

  dyn_array_detail::Storage<T> items_;
};

}  // namespace quillavor
