// Byte texts for the reader's tests.
#pragma once
#include <initializer_list>
#include <string>

namespace reader::testing {

inline std::string Bytes(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s += static_cast<char>(b);
  return s;
}

// A frame as the scale sends it: STX, status bytes, fields, ETX, XOR check byte.
inline std::string Frame(int status1, int status2, const std::string& peso, const std::string& tara) {
  std::string f = Bytes({0x02, status1, status2}) + peso + tara + "\x03";
  char x = 0;
  for (char c : f) x = static_cast<char>(x ^ c);
  return f + x;
}

}  // namespace reader::testing
