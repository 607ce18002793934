#include "platform/errors.h"

namespace quillavor {

IoError::IoError(std::string path, std::string cause)
    : Error(path + ": " + cause), path_(std::move(path)), cause_(std::move(cause)) {}

}  // namespace quillavor
