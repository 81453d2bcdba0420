#include "Streams.h"

#include <algorithm>
#include <cstring>

namespace zf {

int64_t TStream::Size() {
  int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  int64_t end = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return end;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count < 0 || (count > 0 && Read(buffer, count) != count)) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count < 0 || (count > 0 && Write(buffer, count) != count)) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  char buf[8192];
  int64_t left = count;
  while (left > 0) {
    int64_t n = std::min<int64_t>(left, sizeof buf);
    source.ReadBuffer(buf, n);
    WriteBuffer(buf, n);
    left -= n;
  }
  return count;
}

std::string TStream::ReadRest() {
  int64_t n = Size() - Position();
  std::string r;
  if (n <= 0) return r;
  r.resize(static_cast<size_t>(n));
  ReadBuffer(r.data(), n);
  return r;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  int64_t avail = static_cast<int64_t>(FData.size()) - FPos;
  int64_t n = std::clamp<int64_t>(count, 0, std::max<int64_t>(avail, 0));
  if (n > 0) std::memcpy(buffer, FData.data() + FPos, static_cast<size_t>(n));
  FPos += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  size_t end = static_cast<size_t>(FPos + count);
  if (end > FData.size()) FData.resize(end);
  std::memcpy(FData.data() + FPos, buffer, static_cast<size_t>(count));
  FPos += count;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == TSeekOrigin::soBeginning ? 0 : origin == TSeekOrigin::soCurrent ? FPos
                                                                                             : Size();
  FPos = std::max<int64_t>(0, base + offset);
  return FPos;
}

void TMemoryStream::SetSize(int64_t size) {
  FData.resize(static_cast<size_t>(std::max<int64_t>(size, 0)));
  FPos = std::min<int64_t>(FPos, Size());
}

void TMemoryStream::LoadFromStream(TStream& s) {
  s.SetPosition(0);
  FData = s.ReadRest();
  FPos = 0;
}

void TMemoryStream::SaveToStream(TStream& s) const { s.WriteBuffer(FData.data(), static_cast<int64_t>(FData.size())); }

void TMemoryStream::LoadFromFile(const std::string& name) {
  TFileStream f(name, TFileMode::fmOpenRead);
  LoadFromStream(f);
}

void TMemoryStream::SaveToFile(const std::string& name) const {
  TFileStream f(name, TFileMode::fmCreate);
  SaveToStream(f);
}

TFileStream::TFileStream(const std::string& name, TFileMode mode) {
  const char* m = mode == TFileMode::fmOpenRead ? "rb" : mode == TFileMode::fmOpenReadWrite ? "r+b" : "w+b";
  FFile = std::fopen(name.c_str(), m);
  if (!FFile) throw EFOpenError("Cannot open file \"" + name + "\"");
}

TFileStream::~TFileStream() {
  if (FFile) std::fclose(FFile);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  return static_cast<int64_t>(std::fread(buffer, 1, static_cast<size_t>(count), FFile));
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  return static_cast<int64_t>(std::fwrite(buffer, 1, static_cast<size_t>(count), FFile));
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int o = origin == TSeekOrigin::soBeginning ? SEEK_SET : origin == TSeekOrigin::soCurrent ? SEEK_CUR : SEEK_END;
  if (std::fseek(FFile, static_cast<long>(offset), o) != 0 && origin == TSeekOrigin::soBeginning)
    std::fseek(FFile, 0, SEEK_SET);
  return static_cast<int64_t>(std::ftell(FFile));
}

void TFileStream::SetSize(int64_t size) {
  // stdio can only grow a file; nothing here shrinks one.
  int64_t cur = Size();
  if (size < cur) throw EWriteError("Stream write error");
  if (size > cur) {
    Seek(size - 1, TSeekOrigin::soBeginning);
    char z = 0;
    WriteBuffer(&z, 1);
  }
}

}  // namespace zf
