// Portable parts of the shared thread list.
#include "qelExceptThreadsCore.h"

#include "qelStrings.h"

namespace qel {

namespace {

bool Read32(const uint8_t* buffer, size_t size, size_t offset, uint32_t& value) {
  if (offset > size || size - offset < 4) return false;
  value = static_cast<uint32_t>(buffer[offset]) | static_cast<uint32_t>(buffer[offset + 1]) << 8 |
          static_cast<uint32_t>(buffer[offset + 2]) << 16 | static_cast<uint32_t>(buffer[offset + 3]) << 24;
  return true;
}

}  // namespace

std::string ThreadListMappingName(uint32_t processId) {
  return "qelExceptThreadNameBuf" + HexStrPadded(processId, 1, '0');
}

std::vector<uint32_t> ParseProcessThreadIds(const uint8_t* buffer, size_t size, uint32_t processId,
                                            const TProcessInfoLayout& layout) {
  std::vector<uint32_t> ids;
  size_t record = 0;
  for (;;) {
    uint32_t next = 0;
    uint32_t pid = 0;
    if (!Read32(buffer, size, record, next) || !Read32(buffer, size, record + layout.ProcessIdOffset, pid)) break;
    if (pid == processId) {
      uint32_t count = 0;
      if (!Read32(buffer, size, record + layout.ThreadCountOffset, count)) break;
      size_t thread = record + layout.ThreadsOffset;
      for (uint32_t i = 0; i < count; ++i, thread += layout.ThreadRecordSize) {
        uint32_t id = 0;
        if (thread > size || size - thread < layout.ThreadRecordSize ||
            !Read32(buffer, size, thread + layout.ThreadIdOffset, id))
          break;
        ids.push_back(id);
      }
      break;
    }
    if (next == 0 || next > size - record) break;
    record += next;
  }
  return ids;
}

std::string ThreadTitleText(uint32_t threadId, const std::string& name, const std::string& className) {
  const std::string id = HexStrPadded(threadId, 1, '0');
  if (!name.empty() && name != "-") return name + " (" + id + ")";
  std::string title = "thread " + id;
  if (!className.empty()) title += " (" + className + ")";
  return title;
}

}  // namespace qel

namespace qel {

const TProcessInfoLayout& ProcessInfoLayoutFor(bool pointer64, uint32_t majorVersion) {
  if (pointer64) return kProcessInfo64;
  return majorVersion < 5 ? kProcessInfoNt4 : kProcessInfo32;
}

}  // namespace qel
