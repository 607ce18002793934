#include "platform/desktop.h"

#include <spawn.h>

#include <string>

#include "platform/errors.h"
#include "platform/files.h"

extern char** environ;

namespace quillavor::desktop {

void OpenWithDefaultProgram(std::u16string_view path) {
  const std::string file = files::ToPath(path).string();
  std::string opener = "xdg-open";
  char* argv[] = {opener.data(), const_cast<char*>(file.c_str()), nullptr};
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv, environ);
  if (rc != 0) {
    throw IoError(file, "cannot open it with xdg-open: " + files::ErrnoText(rc));
  }
}

}  // namespace quillavor::desktop
