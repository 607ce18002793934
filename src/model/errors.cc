#include "model/errors.h"

namespace quillavor {

DynArrayOutOfRange::DynArrayOutOfRange(int64_t index, int64_t length)
    : Error("index " + std::to_string(index) + " out of range (length " + std::to_string(length) +
            ")"),
      index_(index),
      length_(length) {}

}  // namespace quillavor
