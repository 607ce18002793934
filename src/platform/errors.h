// The base of the errors a build can raise, and the I/O error of the file
// services. The layers above add their own kinds (model/errors.h); the front
// ends catch them all through Error and add what a person needs.
#pragma once

#include <stdexcept>
#include <string>

namespace quillavor {

// Base of every error the compiler, the writer and the reader raise.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file that cannot be read or written: carries the path and the cause.
class IoError : public Error {
 public:
  IoError(std::string path, std::string cause);
  const std::string& path() const { return path_; }
  const std::string& cause() const { return cause_; }

 private:
  std::string path_;
  std::string cause_;
};

}  // namespace quillavor
