#include "GifTestSupport.h"

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace giftest {

std::string Bytes(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s.push_back(static_cast<char>(b));
  return s;
}

namespace {
uint32_t Next(uint32_t& s) {
  s ^= s << 13;
  s ^= s >> 17;
  s ^= s << 5;
  return s;
}
}  // namespace

Indices MakePicture(const std::string& kind, int width, int height, int colors, uint32_t seed) {
  Indices r{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height)};
  uint32_t s = seed | 1;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      int v = 0;
      if (kind == "noise") v = static_cast<int>(Next(s) % colors);
      else if (kind == "flat") v = static_cast<int>(seed % colors);
      else if (kind == "stripes") v = ((x / 3) + (y / 2)) % colors;
      else if (kind == "smooth")
        v = static_cast<int>((std::sin(x * 0.05 + seed) + std::cos(y * 0.07) + 2.0) / 4.0 * colors) % colors;
      else throw std::invalid_argument(kind);
      r.px[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(v);
    }
  return r;
}

static size_t Stride(int width, int bits) { return static_cast<size_t>((width * bits + 31) / 32) * 4; }

std::vector<uint8_t> PackDib(const Indices& in, int bits) {
  const size_t stride = Stride(in.width, bits);
  std::vector<uint8_t> dib(stride * in.height);
  for (int y = 0; y < in.height; ++y) {
    uint8_t* line = dib.data() + (in.height - 1 - y) * stride;
    for (int x = 0; x < in.width; ++x) {
      const unsigned v = in.px[static_cast<size_t>(y) * in.width + x];
      if (bits == 8) line[x] = static_cast<uint8_t>(v);
      else if (bits == 4) line[x / 2] |= static_cast<uint8_t>(x % 2 ? v : v << 4);
      else line[x / 8] |= static_cast<uint8_t>(v << (7 - x % 8));
    }
  }
  return dib;
}

Indices UnpackDib(const std::vector<uint8_t>& dib, int width, int height, int bits) {
  const size_t stride = Stride(width, bits);
  Indices r{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height)};
  for (int y = 0; y < height; ++y) {
    const uint8_t* line = dib.data() + (height - 1 - y) * stride;
    for (int x = 0; x < width; ++x) {
      uint8_t v;
      if (bits == 8) v = line[x];
      else if (bits == 4) v = x % 2 ? line[x / 2] & 15 : line[x / 2] >> 4;
      else v = (line[x / 8] >> (7 - x % 8)) & 1;
      r.px[static_cast<size_t>(y) * width + x] = v;
    }
  }
  return r;
}

Indices InterlaceOrder(const Indices& in) {
  Indices r{in.width, in.height, {}};
  static const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
  for (int p = 0; p < 4; ++p)
    for (int y = start[p]; y < in.height; y += step[p])
      r.px.insert(r.px.end(), in.px.begin() + static_cast<ptrdiff_t>(y) * in.width,
                  in.px.begin() + static_cast<ptrdiff_t>(y + 1) * in.width);
  return r;
}

std::vector<Code> ReferenceEncode(const std::vector<uint8_t>& px, int codeSize, bool deferredClear,
                                  int clearAfter) {
  const int clear = 1 << codeSize, end = clear + 1;
  std::map<std::pair<int, int>, int> dict;
  int next = clear + 2, width = codeSize + 1;
  std::vector<Code> out{{static_cast<uint16_t>(clear), width}};
  int cur = -1;
  for (uint8_t p : px) {
    if (cur < 0) {
      cur = p;
      continue;
    }
    auto it = dict.find({cur, p});
    if (it != dict.end()) {
      cur = it->second;
      continue;
    }
    out.push_back({static_cast<uint16_t>(cur), width});
    if (next < 4096) {
      dict[{cur, p}] = next;
      if (next >= (1 << width) && width < 12) ++width;
      ++next;
      if (!deferredClear && next - 1 >= clearAfter) {
        out.push_back({static_cast<uint16_t>(p), width});
        out.push_back({static_cast<uint16_t>(clear), width});
        dict.clear();
        next = clear + 2;
        width = codeSize + 1;
        cur = -1;
        continue;
      }
    }
    cur = p;
  }
  if (cur >= 0) out.push_back({static_cast<uint16_t>(cur), width});
  out.push_back({static_cast<uint16_t>(end), width});
  return out;
}

std::string PackCodes(int codeSize, const std::vector<Code>& codes, int blockSize) {
  std::string bytes;
  uint32_t acc = 0;
  int n = 0;
  for (const Code& c : codes) {
    acc |= static_cast<uint32_t>(c.value) << n;
    n += c.width;
    while (n >= 8) {
      bytes.push_back(static_cast<char>(acc & 0xFF));
      acc >>= 8;
      n -= 8;
    }
  }
  if (n > 0) bytes.push_back(static_cast<char>(acc & 0xFF));
  std::string r(1, static_cast<char>(codeSize));
  for (size_t i = 0; i < bytes.size(); i += blockSize) {
    const size_t len = std::min<size_t>(blockSize, bytes.size() - i);
    r.push_back(static_cast<char>(len));
    r.append(bytes, i, len);
  }
  r.push_back('\0');
  return r;
}

Trace ReferenceDecode(const std::string& raster) {
  Trace t;
  const int codeSize = static_cast<uint8_t>(raster.at(0));
  std::string data;
  for (size_t i = 1; i < raster.size();) {
    const size_t len = static_cast<uint8_t>(raster[i++]);
    if (len == 0) break;
    data.append(raster, i, std::min(len, raster.size() - i));
    i += len;
  }
  const int clear = 1 << codeSize, end = clear + 1;
  std::vector<std::vector<uint8_t>> dict;
  auto reset = [&] {
    dict.assign(clear + 2, {});
    for (int i = 0; i < clear; ++i) dict[i] = {static_cast<uint8_t>(i)};
  };
  reset();
  int width = codeSize + 1;
  size_t bit = 0;
  std::vector<uint8_t> prev;
  while (bit + width <= data.size() * 8) {
    uint32_t code = 0;
    for (int k = 0; k < width; ++k, ++bit)
      code |= ((static_cast<uint8_t>(data[bit / 8]) >> (bit % 8)) & 1u) << k;
    ++t.codes;
    t.maxWidth = std::max(t.maxWidth, width);
    if (static_cast<int>(code) == clear) {
      if (t.codes > 1) t.clearAtNextFree.push_back(static_cast<int>(dict.size()));
      reset();
      width = codeSize + 1;
      prev.clear();
      continue;
    }
    if (static_cast<int>(code) == end) {
      t.endSeen = true;
      break;
    }
    std::vector<uint8_t> s;
    if (code < dict.size() && !dict[code].empty()) s = dict[code];
    else if (code == dict.size() && !prev.empty()) {
      s = prev;
      s.push_back(prev[0]);
    } else
      throw std::runtime_error("reference decoder: bad code " + std::to_string(code));
    t.px.insert(t.px.end(), s.begin(), s.end());
    if (!prev.empty() && dict.size() < 4096) {
      prev.push_back(s[0]);
      dict.push_back(prev);
      if (dict.size() == (1u << width) && width < 12) ++width;
    }
    prev = s;
  }
  return t;
}

static void Put16(std::string& s, int v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>((v >> 8) & 0xFF));
}

std::string WrapGif(int width, int height, int bits, const std::vector<uint32_t>& rgb, const std::string& raster,
                    bool interlaced) {
  std::string g = "GIF89a";
  Put16(g, width);
  Put16(g, height);
  g.push_back(static_cast<char>(0x80 | ((bits - 1) << 4) | (bits - 1)));
  g.push_back('\0');
  g.push_back('\0');
  for (int i = 0; i < (1 << bits); ++i) {
    const uint32_t c = i < static_cast<int>(rgb.size()) ? rgb[i] : 0;
    g.push_back(static_cast<char>(c >> 16));
    g.push_back(static_cast<char>(c >> 8));
    g.push_back(static_cast<char>(c));
  }
  g.push_back(',');
  Put16(g, 0);
  Put16(g, 0);
  Put16(g, width);
  Put16(g, height);
  g.push_back(static_cast<char>(interlaced ? 0x40 : 0));
  g += raster;
  g.push_back(';');
  return g;
}

std::vector<uint32_t> GrayPalette(int bits) {
  std::vector<uint32_t> p(1u << bits);
  for (size_t i = 0; i < p.size(); ++i) {
    const uint32_t v = p.size() == 1 ? 0 : static_cast<uint32_t>(i * 255 / (p.size() - 1));
    // A distinct colour per index so that decoders cannot merge entries.
    p[i] = (v << 16) | (static_cast<uint32_t>(i * 37 % 256) << 8) | static_cast<uint32_t>(255 - v);
  }
  return p;
}

Frame FirstFrame(const std::string& g) {
  auto u8 = [&](size_t i) -> uint32_t {
    if (i >= g.size()) throw std::runtime_error("GIF too short");
    return static_cast<uint8_t>(g[i]);
  };
  auto u16 = [&](size_t i) { return u8(i) | (u8(i + 1) << 8); };
  if (g.compare(0, 3, "GIF") != 0) throw std::runtime_error("not a GIF");
  Frame f;
  std::vector<uint32_t> global;
  size_t i = 13;
  auto table = [&](int bits) {
    std::vector<uint32_t> t;
    for (int k = 0; k < (1 << bits); ++k, i += 3) t.push_back((u8(i) << 16) | (u8(i + 1) << 8) | u8(i + 2));
    return t;
  };
  const uint32_t packed = u8(10);
  int bits = static_cast<int>(packed & 7) + 1;
  if (packed & 0x80) global = table(bits);
  for (;;) {
    const uint32_t b = u8(i++);
    if (b == 0x21) {
      ++i;  // label
      for (uint32_t n; (n = u8(i++)) != 0;) i += n;
    } else if (b == 0x2C) {
      f.width = static_cast<int>(u16(i + 4));
      f.height = static_cast<int>(u16(i + 6));
      const uint32_t p = u8(i + 8);
      f.interlaced = (p & 0x40) != 0;
      i += 9;
      if (p & 0x80) {
        bits = static_cast<int>(p & 7) + 1;
        f.rgb = table(bits);
      } else {
        f.rgb = global;
      }
      f.bits = bits;
      const size_t start = i;
      ++i;  // code size
      for (uint32_t n; (n = u8(i++)) != 0;) i += n;
      f.raster = g.substr(start, i - start);
      return f;
    } else {
      throw std::runtime_error("no image in GIF");
    }
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

Rgb ReadPnm(const std::string& d) {
  size_t i = 0;
  auto token = [&]() {
    for (;;) {
      while (i < d.size() && std::isspace(static_cast<unsigned char>(d[i]))) ++i;
      if (i < d.size() && d[i] == '#') {
        while (i < d.size() && d[i] != '\n') ++i;
      } else {
        break;
      }
    }
    size_t s = i;
    while (i < d.size() && !std::isspace(static_cast<unsigned char>(d[i]))) ++i;
    return d.substr(s, i - s);
  };
  const std::string magic = token();
  Rgb r;
  r.width = std::stoi(token());
  r.height = std::stoi(token());
  const int maxval = magic == "P4" ? 1 : std::stoi(token());
  ++i;  // the single whitespace before the samples
  if (maxval > 255) throw std::runtime_error("16-bit PNM");
  const size_t n = static_cast<size_t>(r.width) * r.height;
  r.px.resize(n);
  auto at = [&](size_t k) -> uint32_t {
    if (i + k >= d.size()) throw std::runtime_error("PNM too short");
    return static_cast<uint8_t>(d[i + k]);
  };
  auto scale = [&](uint32_t v) { return v * 255 / static_cast<uint32_t>(maxval); };
  for (size_t p = 0; p < n; ++p) {
    const size_t x = p % r.width, y = p / r.width;
    if (magic == "P6") {
      r.px[p] = (scale(at(3 * p)) << 16) | (scale(at(3 * p + 1)) << 8) | scale(at(3 * p + 2));
    } else if (magic == "P5") {
      const uint32_t v = scale(at(p));
      r.px[p] = v * 0x010101u;
    } else if (magic == "P4") {
      const size_t rowBytes = (r.width + 7) / 8;
      const bool black = (at(y * rowBytes + x / 8) >> (7 - x % 8)) & 1;
      r.px[p] = black ? 0 : 0xFFFFFF;
    } else {
      throw std::runtime_error("unsupported PNM " + magic);
    }
  }
  return r;
}

}  // namespace giftest
