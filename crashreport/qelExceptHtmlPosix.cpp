#include <unistd.h>

#include "qelExceptHtml.h"

namespace qel {

std::string ProgramFileName() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  const std::string name(path, n > 0 ? static_cast<size_t>(n) : 0);
  const size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace qel
