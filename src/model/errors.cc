#include "model/errors.h"

namespace quillavor {

DynArrayOutOfRange::DynArrayOutOfRange(int64_t index, int64_t length)
    : Error("index " + std::to_string(index) + " out of range (length " + std::to_string(length) +
            ")"),
      index_(index),
      length_(length) {}

IoError::IoError(std::string path, std::string cause)
    : Error(path + ": " + cause), path_(std::move(path)), cause_(std::move(cause)) {}

}  // namespace quillavor
