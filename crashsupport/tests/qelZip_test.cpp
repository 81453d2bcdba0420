#include "qelZip.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

using namespace qel;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t MiB = 1048576;

// Independent bit-at-a-time CRC-32 step (no inversion), for comparison.
uint32_t BitwiseCrc(uint32_t crc, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc;
}

// Text-like runs with random stretches, so the encoder finds matches and literals.
Bytes TestData(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  static const char* words[] = {"Module ", "qelStackTrace ", "0040123a ", "TForm1.Button1Click ", "\r\n", "  "};
  Bytes out;
  out.reserve(size);
  while (out.size() < size) {
    if (rng() % 4 == 0) {
      for (int i = rng() % 64; i > 0 && out.size() < size; --i) out.push_back(static_cast<uint8_t>(rng()));
    } else {
      for (const char* w = words[rng() % 6]; *w && out.size() < size; ++w) out.push_back(static_cast<uint8_t>(*w));
    }
  }
  return out;
}

Bytes RandomData(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

uint32_t Cap(size_t n) { return static_cast<uint32_t>(compressBound(static_cast<uLong>(n)) + 16); }

Bytes Pack(const Bytes& in) {
  Bytes out(Cap(in.size()));
  const uint32_t n = PackBuffer(in.data(), out.data(), static_cast<uint32_t>(in.size()), static_cast<uint32_t>(out.size()));
  out.resize(n);
  return out;
}

uint32_t Unpack(const Bytes& packed, Bytes& out, uint32_t expected) {
  out.assign(expected, 0xEE);
  return UnpackBuffer(packed.data(), out.data(), static_cast<uint32_t>(packed.size()), expected);
}

class TempDir {
public:
  TempDir() {
    char tmpl[] = "/tmp/qelzip_test.XXXXXX";
    FPath = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + FPath + "'").c_str()); }
  std::string File(const std::string& name) const { return FPath + "/" + name; }

private:
  std::string FPath;
};

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Inflates with Python's zlib (an implementation independent of ours): the raw
// stream must end exactly at the end of the data.
bool PythonInflates(const TempDir& dir, const Bytes& packed, const Bytes& expected) {
  const std::string in = dir.File("py.in"), out = dir.File("py.out");
  WriteFile(in, packed);
  const std::string cmd =
      "/usr/bin/python3 -c \"import sys, zlib; d = zlib.decompressobj(-15); "
      "b = d.decompress(open(sys.argv[1], 'rb').read()) + d.flush(); "
      "assert d.eof and not d.unused_data; open(sys.argv[2], 'wb').write(b)\" '" +
      in + "' '" + out + "'";
  if (std::system(cmd.c_str()) != 0) return false;
  return ReadFile(out) == expected;
}

struct Fd {
  int fd;
  explicit Fd(const std::string& path, int flags = O_RDWR | O_CREAT) : fd(open(path.c_str(), flags, 0644)) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  QelHandle h() const { return fd; }
};

std::string Block(uint32_t size, uint32_t crc, const Bytes& deflate) {
  std::string b;
  for (uint32_t v : {size, 0x12345678u, crc})
    for (int i = 0; i < 4; ++i) b += static_cast<char>(v >> (8 * i));
  b.append(deflate.begin(), deflate.end());
  return b;
}

uint32_t Crc(const Bytes& d) { return ~Crc32Update(0xFFFFFFFFu, d.data(), static_cast<int32_t>(d.size())); }

}  // namespace

TEST(Crc32, CheckValueAndRunningValue) {
  const char digits[] = "123456789";
  EXPECT_EQ(~Crc32Update(0xFFFFFFFFu, digits, 9), 0xCBF43926u);
  EXPECT_EQ(Crc32Update(0x1234u, digits, 0), 0x1234u);
  EXPECT_EQ(Crc32Update(0x1234u, digits, -5), 0x1234u);
  // No inversion inside: folding in pieces gives the same running value.
  const Bytes data = RandomData(10000, 7);
  uint32_t running = 0xFFFFFFFFu;
  for (size_t at = 0; at < data.size(); at += 777)
    running = Crc32Update(running, data.data() + at, static_cast<int32_t>(std::min<size_t>(777, data.size() - at)));
  EXPECT_EQ(running, BitwiseCrc(0xFFFFFFFFu, data.data(), data.size()));
  EXPECT_EQ(Crc32Update(0, data.data(), 100), BitwiseCrc(0, data.data(), 100));
  EXPECT_EQ(MinCardinal(3, 0xFFFFFFFFu), 3u);
  EXPECT_EQ(MinCardinal(0xFFFFFFFFu, 0xFFFFFFFEu), 0xFFFFFFFEu);
}

TEST(PackBuffer, EmptySourceIsOneEmptyFixedBlock) {
  uint8_t out[8] = {};
  ASSERT_EQ(PackBuffer(nullptr, out, 0, sizeof out), 2u);
  EXPECT_EQ(out[0], 0x03);
  EXPECT_EQ(out[1], 0x00);
  Bytes back;
  EXPECT_EQ(Unpack(Bytes{0x03, 0x00}, back, 0), 0u);
  EXPECT_EQ(Unpack(Bytes{0x03, 0x00}, back, 1), 0u);
}

TEST(PackBuffer, RoundTripsAndInflatesElsewhere) {
  TempDir dir;
  const size_t sizes[] = {0, 1, 2, 100, 65535, 65536, MiB - 1, MiB, MiB + 1, 3 * MiB};
  for (size_t size : sizes) {
    for (const Bytes& data : {TestData(size, static_cast<uint32_t>(size)), RandomData(size, 3)}) {
      const Bytes packed = Pack(data);
      ASSERT_FALSE(packed.empty()) << size;
      Bytes back;
      ASSERT_EQ(Unpack(packed, back, static_cast<uint32_t>(size)), size) << size;
      EXPECT_TRUE(back == data) << size;
      EXPECT_TRUE(PythonInflates(dir, packed, data)) << size;
    }
  }
}

TEST(PackBuffer, TargetMustKeepOneByteFree) {
  for (size_t size : {0, 10, 5000}) {
    const Bytes data = TestData(size, 11);
    const Bytes packed = Pack(data);
    const auto n = static_cast<uint32_t>(packed.size());
    Bytes out(n + 1);
    EXPECT_EQ(PackBuffer(data.data(), out.data(), static_cast<uint32_t>(size), n), 0u) << "exact fit, size " << size;
    EXPECT_EQ(PackBuffer(data.data(), out.data(), static_cast<uint32_t>(size), n - 1), 0u) << "too small, " << size;
    EXPECT_EQ(PackBuffer(data.data(), out.data(), static_cast<uint32_t>(size), n + 1), n) << size;
    EXPECT_TRUE(std::equal(packed.begin(), packed.end(), out.begin()));
  }
  EXPECT_EQ(PackBuffer("x", nullptr, 1, 0), 0u);
}

TEST(UnpackBuffer, DamagedStreamsGiveZero) {
  const Bytes data = TestData(200000, 5);
  const Bytes packed = Pack(data);
  const auto size = static_cast<uint32_t>(data.size());
  Bytes out;
  ASSERT_EQ(Unpack(packed, out, size), size);

  EXPECT_EQ(Unpack(packed, out, size - 1), 0u) << "expected size one short";
  EXPECT_EQ(Unpack(packed, out, size + 1), 0u) << "expected size one over";
  for (size_t cut : {size_t{1}, size_t{2}, packed.size() / 2, packed.size() - 1}) {
    const Bytes truncated(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(packed.size() - cut));
    EXPECT_EQ(Unpack(truncated, out, size), 0u) << "cut " << cut;
  }
  Bytes trailing = packed;
  trailing.push_back(0);
  EXPECT_EQ(Unpack(trailing, out, size), 0u) << "trailing garbage";
  Bytes badType = packed;
  badType[0] |= 0x06;  // block type 3 is reserved
  EXPECT_EQ(Unpack(badType, out, size), 0u);
  EXPECT_EQ(UnpackBuffer(nullptr, out.data(), 10, size), 0u);
}

TEST(UnpackString, Blocks) {
  const std::string text = "Unit qelMapFile, line 42\r\n" + std::string(3000, 'x');
  const Bytes data(text.begin(), text.end());
  const Bytes packed = Pack(data);
  const auto size = static_cast<uint32_t>(text.size());
  const uint32_t crc = Crc(data);

  EXPECT_EQ(UnpackString(Block(size, crc, packed)), text);
  EXPECT_EQ(UnpackString(Block(size, crc ^ 0x100, packed)), "") << "one CRC bit flipped";
  EXPECT_EQ(UnpackString(Block(size - 1, crc, packed)), "");
  EXPECT_EQ(UnpackString(Block(size + 1, crc, packed)), "");
  EXPECT_EQ(UnpackString(Block(0, crc, packed)), "");
  EXPECT_EQ(UnpackString(Block(0xFFFFFFFFu, crc, packed)), "") << "untrusted size is capped";
  EXPECT_EQ(UnpackString(Block(size, crc, {}).substr(0, 12)), "");
  EXPECT_EQ(UnpackString(""), "");
  EXPECT_EQ(UnpackString(std::string(12, '\0')), "");
  // 13 bytes: the smallest block that is decoded at all.
  const Bytes one = Pack({'A'});
  EXPECT_EQ(UnpackString(Block(1, Crc({'A'}), one)), "A");
}

TEST(FileModes, PackAndUnpackThroughFilesAndMappings) {
  TempDir dir;
  // Incompressible data: the packed stream spans several 1 MB target windows too.
  const Bytes data = RandomData(3 * MiB + 12345, 21);
  const auto size = static_cast<uint32_t>(data.size());
  WriteFile(dir.File("src"), data);
  const uint32_t offset = 1000;
  const uint32_t capacity = offset + Cap(data.size());

  for (bool mapSource : {false, true})
    for (bool mapTarget : {false, true}) {
      SCOPED_TRACE(testing::Message() << "map source " << mapSource << " map target " << mapTarget);
      const std::string packedPath = dir.File("packed"), backPath = dir.File("back");
      Bytes prefix(offset, 0x5A);
      WriteFile(packedPath, prefix);
      Fd src(dir.File("src"), O_RDONLY), packed(packedPath);
      if (mapTarget) {
        ASSERT_EQ(ftruncate(packed.fd, capacity), 0);
      }

      uint32_t crc = 0;
      const uint32_t n = PackEx(src.h(), packed.h(), mapSource ? src.h() : 0, &crc, capacity, size, nullptr, nullptr,
                                offset, mapTarget ? packed.h() : 0);
      ASSERT_GT(n, 3 * MiB);
      EXPECT_EQ(crc, Crc(data)) << "CRC of the source bytes";
      Bytes file = ReadFile(packedPath);
      if (!mapTarget) {
        EXPECT_EQ(file.size(), offset + n) << "only the bytes produced are written";
      }
      ASSERT_GE(file.size(), offset + n);
      EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), file.begin())) << "bytes before the offset untouched";
      const Bytes stream(file.begin() + offset, file.begin() + offset + n);
      EXPECT_TRUE(PythonInflates(dir, stream, data));

      // Back again: the source starts at the input offset, the target is a file.
      WriteFile(backPath, {});
      Fd in(packedPath, O_RDONLY), back(backPath);
      if (mapTarget) {
        ASSERT_EQ(ftruncate(back.fd, size), 0);
      }
      uint32_t crc2 = 0;
      EXPECT_EQ(UnpackEx(in.h(), back.h(), mapSource ? in.h() : 0, &crc2, size, offset + n, nullptr, nullptr, offset,
                         mapTarget ? back.h() : 0),
                size);
      EXPECT_EQ(crc2, Crc(data)) << "CRC of the bytes produced";
      EXPECT_TRUE(ReadFile(backPath) == data);

      // Memory on one side, a file on the other.
      Bytes out(size);
      EXPECT_EQ(UnpackEx(in.h(), 0, 0, nullptr, size, offset + n, out.data(), nullptr, offset, 0), size);
      EXPECT_TRUE(out == data);
    }
}

TEST(FileModes, WindowBoundariesAndEmptyOutput) {
  TempDir dir;
  for (size_t size : {size_t{0}, size_t{MiB - 1}, size_t{MiB}, size_t{MiB + 1}, size_t{2 * MiB}}) {
    SCOPED_TRACE(size);
    const Bytes data = TestData(size, 9);
    const Bytes packed = Pack(data);
    WriteFile(dir.File("p"), packed);
    WriteFile(dir.File("o"), {});
    Fd in(dir.File("p"), O_RDONLY), out(dir.File("o"));
    EXPECT_EQ(UnpackEx(in.h(), out.h(), 0, nullptr, static_cast<uint32_t>(size), static_cast<uint32_t>(packed.size()),
                       nullptr, nullptr, 0, 0),
              size);
    EXPECT_TRUE(ReadFile(dir.File("o")) == data) << "exactly the bytes produced, no stale window";

    // Packing from a file source read in windows gives a stream that inflates to the same bytes.
    WriteFile(dir.File("s"), data);
    Fd src(dir.File("s"), O_RDONLY);
    Bytes target(Cap(size));
    const uint32_t n = PackEx(src.h(), 0, 0, nullptr, static_cast<uint32_t>(target.size()),
                              static_cast<uint32_t>(size), target.data(), nullptr, 0, 0);
    ASSERT_GT(n, 0u);
    target.resize(n);
    Bytes back;
    EXPECT_EQ(Unpack(target, back, static_cast<uint32_t>(size)), size);
    EXPECT_TRUE(back == data);
  }
}

TEST(FileModes, FailuresGiveZeroAndNeverRaise) {
  TempDir dir;
  const Bytes data = TestData(300000, 4);
  const Bytes packed = Pack(data);
  const auto size = static_cast<uint32_t>(data.size());
  WriteFile(dir.File("src"), data);
  WriteFile(dir.File("packed"), packed);
  WriteFile(dir.File("ro"), {});

  Fd src(dir.File("src"), O_RDONLY), pk(dir.File("packed"), O_RDONLY), readOnly(dir.File("ro"), O_RDONLY);
  uint32_t crc = 0;
  EXPECT_EQ(PackEx(src.h(), readOnly.h(), 0, &crc, Cap(size), size, nullptr, nullptr, 0, 0), 0u) << "write error";
  EXPECT_EQ(UnpackEx(pk.h(), readOnly.h(), 0, &crc, size, static_cast<uint32_t>(packed.size()), nullptr, nullptr, 0, 0),
            0u)
      << "write error while unpacking";
  Bytes out(Cap(size));
  EXPECT_EQ(PackEx(src.h(), 0, 0, nullptr, static_cast<uint32_t>(out.size()), size + 1, out.data(), nullptr, 0, 0), 0u)
      << "source file shorter than the given length";
  EXPECT_EQ(PackBuffer(data.data(), out.data(), size, 10), 0u);
  EXPECT_EQ(PackEx(0, 0, 0, nullptr, 10, size, out.data(), data.data(), 11, 0), 0u) << "offset behind the capacity";
  EXPECT_EQ(UnpackEx(0, 0, 0, nullptr, size, 5, out.data(), packed.data(), 6, 0), 0u) << "offset behind the source";
}
