// DynArray: the growable array behind the string pool and every table of a
// Module. Its length (capacity) is kept with the storage and is separate from
// the "used" counters that live in the Module; growth is by a fixed step,
// new elements are zero-filled, and indexing is checked.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "model/errors.h"

namespace quillavor {

template <typename T>
class DynArray {
 public:
  int64_t Length() const { return static_cast<int64_t>(items_.size()); }

  // Keeps the first min(old, n) elements; new elements are value-initialised
  // (zero bytes for the plain record types).
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
    return items_[static_cast<size_t>(i)];
  }
  const T& operator[](int64_t i) const {
    Check(i);
    return items_[static_cast<size_t>(i)];
  }

  // Appends at index `used` under the table rules: grows by `step` when the
  // used counter has reached the length, then increments `used`.
  int32_t Append(int32_t& used, int64_t step) {
    if (used >= Length()) Grow(step);
    return used++;
  }

  T* Data() { return items_.data(); }
  const T* Data() const { return items_.data(); }
  std::span<T> Span() { return items_; }
  std::span<const T> Span() const { return items_; }

 private:
  void Check(int64_t i) const {
    if (i < 0 || i >= Length()) throw DynArrayOutOfRange(i, Length());
  }

  std::vector<T> items_;
};

}  // namespace quillavor
