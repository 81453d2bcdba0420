#include <windows.h>

#include "qelExceptHtml.h"

namespace qel {

std::string ProgramFileName() {
  char path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string name(path, n < MAX_PATH ? n : 0);
  const size_t slash = name.find_last_of("\\/:");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace qel
