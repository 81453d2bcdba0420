// Byte streams: the abstract stream, a growable memory stream and a file stream.
// A read that finds fewer bytes than asked for by ReadBuffer raises EReadError
// "Stream read error"; WriteBuffer that cannot write everything raises
// EWriteError "Stream write error".
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Classes.h"

namespace zf {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
public:
  // Up to count bytes; the number read.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // New position; a position outside 0..Size is clamped at 0 below.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size();
  virtual void SetSize(int64_t size) = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t p) { Seek(p, TSeekOrigin::soBeginning); }
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes (0: the whole source from its start); the number copied.
  int64_t CopyFrom(TStream& source, int64_t count);
  // Reads the rest of the stream.
  std::string ReadRest();
};

class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string data) : FData(std::move(data)) {}
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }
  void SetSize(int64_t size) override;
  void Clear() { FData.clear(); FPos = 0; }

  const uint8_t* Memory() const { return reinterpret_cast<const uint8_t*>(FData.data()); }
  uint8_t* Memory() { return reinterpret_cast<uint8_t*>(FData.data()); }
  const std::string& Bytes() const { return FData; }
  void LoadFromStream(TStream& s);
  void SaveToStream(TStream& s) const;
  void LoadFromFile(const std::string& name);
  void SaveToFile(const std::string& name) const;

private:
  std::string FData;
  int64_t FPos = 0;
};

enum class TFileMode { fmOpenRead, fmOpenReadWrite, fmCreate };

// Opening failure raises EFOpenError "Cannot open file \"<name>\"".
class TFileStream : public TStream {
public:
  TFileStream(const std::string& name, TFileMode mode);
  ~TFileStream() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t size) override;

private:
  std::FILE* FFile = nullptr;
};

ZF_EXCEPTION_CLASS(EFOpenError, Exception);

}  // namespace zf
