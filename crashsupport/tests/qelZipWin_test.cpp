// The compressor entry points over Win32 file handles and file mappings.
#include <windows.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "qelZip.h"

using namespace qel;

namespace {

using Bytes = std::vector<uint8_t>;

struct THandle {
  HANDLE h;
  explicit THandle(HANDLE handle) : h(handle) {}
  ~THandle() {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  QelHandle q() const { return reinterpret_cast<QelHandle>(h); }
};

std::string TempPath(const char* name) {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  return std::string(dir) + "qelzip_" + std::to_string(GetCurrentProcessId()) + "_" + name;
}

HANDLE OpenFile(const std::string& path, DWORD access, DWORD disposition) {
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

Bytes ReadAll(const std::string& path) {
  THandle f(OpenFile(path, GENERIC_READ, OPEN_EXISTING));
  Bytes out(GetFileSize(f.h, nullptr));
  DWORD done = 0;
  if (!out.empty()) ReadFile(f.h, out.data(), static_cast<DWORD>(out.size()), &done, nullptr);
  out.resize(done);
  return out;
}

}  // namespace

TEST(ZipWin32, FilesAndMappingsRoundTrip) {
  std::mt19937 rng(3);
  Bytes data(2 * 1048576 + 777);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 97 < 60 ? 'a' + i % 7 : rng());
  const auto size = static_cast<uint32_t>(data.size());
  const std::string srcPath = TempPath("src"), packedPath = TempPath("packed"), backPath = TempPath("back");
  {
    THandle f(OpenFile(srcPath, GENERIC_WRITE, CREATE_ALWAYS));
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(f.h, data.data(), size, &done, nullptr) && done == size);
  }
  for (bool mapped : {false, true}) {
    SCOPED_TRACE(mapped ? "mapped views" : "positioned reads and writes");
    const uint32_t offset = 100;
    const uint32_t capacity = offset + size + size / 100 + 1024;
    uint32_t n = 0, crc = 0;
    {
      THandle src(OpenFile(srcPath, GENERIC_READ, OPEN_EXISTING));
      THandle dst(OpenFile(packedPath, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS));
      THandle srcMap(mapped ? CreateFileMappingA(src.h, nullptr, PAGE_READONLY, 0, 0, nullptr) : nullptr);
      THandle dstMap(mapped ? CreateFileMappingA(dst.h, nullptr, PAGE_READWRITE, 0, capacity, nullptr) : nullptr);
      n = PackEx(src.q(), dst.q(), srcMap.q(), &crc, capacity, size, nullptr, nullptr, offset, dstMap.q());
      ASSERT_GT(n, 0u);
      EXPECT_EQ(crc, ~Crc32Update(0xFFFFFFFFu, data.data(), static_cast<int32_t>(size)));
    }
    {
      THandle src(OpenFile(packedPath, GENERIC_READ, OPEN_EXISTING));
      THandle dst(OpenFile(backPath, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS));
      THandle srcMap(mapped ? CreateFileMappingA(src.h, nullptr, PAGE_READONLY, 0, 0, nullptr) : nullptr);
      THandle dstMap(mapped ? CreateFileMappingA(dst.h, nullptr, PAGE_READWRITE, 0, size, nullptr) : nullptr);
      uint32_t crc2 = 0;
      EXPECT_EQ(UnpackEx(src.q(), dst.q(), srcMap.q(), &crc2, size, offset + n, nullptr, nullptr, offset, dstMap.q()),
                size);
      EXPECT_EQ(crc2, crc);
    }
    EXPECT_TRUE(ReadAll(backPath) == data);
  }
  DeleteFileA(srcPath.c_str());
  DeleteFileA(packedPath.c_str());
  DeleteFileA(backPath.c_str());
}

TEST(ZipWin32, WriteErrorGivesZero) {
  const std::string path = TempPath("ro");
  THandle ro(OpenFile(path, GENERIC_READ, CREATE_ALWAYS));
  const Bytes data(5000, 'x');
  uint8_t packed[64];
  const uint32_t n = PackBuffer(data.data(), packed, 5000, sizeof packed);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(UnpackEx(0, ro.q(), 0, nullptr, 5000, n, nullptr, packed, 0, 0), 0u);
  EXPECT_EQ(PackEx(0, ro.q(), 0, nullptr, 1000, 5000, nullptr, data.data(), 0, 0), 0u);
  CloseHandle(ro.h);
  ro.h = nullptr;
  DeleteFileA(path.c_str());
}
