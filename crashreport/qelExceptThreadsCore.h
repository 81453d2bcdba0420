// Portable parts of the shared thread list: the anchor block's name and the
// walk of the system's process information for the thread ids of one process.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qel {

// "qelExceptThreadNameBuf$" + the process id in lower-case hex.
std::string ThreadListMappingName(uint32_t processId);

// Where the fields lie in the system's process information records.
struct TProcessInfoLayout {
  size_t ProcessIdOffset;
  size_t ThreadCountOffset;
  size_t ThreadsOffset;
  size_t ThreadRecordSize;
  size_t ThreadIdOffset;
};
// 32-bit systems before Windows 2000, 32-bit from Windows 2000 on, and 64-bit.
inline constexpr TProcessInfoLayout kProcessInfoNt4{68, 4, 136, 64, 36};
inline constexpr TProcessInfoLayout kProcessInfo32{68, 4, 184, 64, 36};
inline constexpr TProcessInfoLayout kProcessInfo64{80, 4, 256, 80, 48};

// The thread ids of `processId` in record order; empty when the process has
// no record. Records and thread entries beyond `size` end the walk.
std::vector<uint32_t> ParseProcessThreadIds(const uint8_t* buffer, size_t size, uint32_t processId,
                                            const TProcessInfoLayout& layout);

// "thread $1a4", "main thread ($1a4)", "thread $1a4 (TMyThread)".
std::string ThreadTitleText(uint32_t threadId, const std::string& name, const std::string& className);

}  // namespace qel

namespace qel {

// GetVersion's top bit: the Windows 9x family.
inline bool IsWin9xVersion(uint32_t versionValue) { return (versionValue & 0x80000000u) != 0; }
// The process-information layout of a system: 64-bit code, else by major version.
const TProcessInfoLayout& ProcessInfoLayoutFor(bool pointer64, uint32_t majorVersion);

}  // namespace qel
