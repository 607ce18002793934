// The small hierarchy of errors that a build can raise. The core throws them;
// the front ends catch them and add what a person needs (books-list line,
// source file) before showing them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/errors.h"  // Error, IoError

namespace quillavor {

// An index outside a growable array (or the pool): carries index and length.
class DynArrayOutOfRange : public Error {
 public:
  DynArrayOutOfRange(int64_t index, int64_t length);
  int64_t index() const { return index_; }
  int64_t length() const { return length_; }

 private:
  int64_t index_;
  int64_t length_;
};

// Source input the compiler cannot represent (for example an image reference
// naming an image that does not exist, or a source of 2 GiB or more).
class SourceError : public Error {
 public:
  using Error::Error;
};

// A module file or image that does not follow the module layout.
class FormatError : public Error {
 public:
  using Error::Error;
};

// A module the writer cannot produce from a compiled Module: a table too large
// for a block, a pool that was not finalised, an image that cannot be
// compressed. Not a fault of any file on disk.
class OutputError : public Error {
 public:
  using Error::Error;
};

}  // namespace quillavor
