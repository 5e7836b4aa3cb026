#include "platform/FileStatus.h"

#include <sys/stat.h>

#include <string>

namespace quillmere::platform {

bool pathExists(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return false;
  }
  struct stat status {};
  return ::stat(std::string{path}.c_str(), &status) == 0;
}

}  // namespace quillmere::platform
