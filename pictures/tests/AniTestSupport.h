// Animated cursor files for tests, assembled chunk by chunk around icon and
// cursor files that icoutils made at configure time (the fixtures folder).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace anitest {

std::string U32(uint32_t v);
std::string U32s(const std::vector<uint32_t>& values);
// Identifier, size and data, and the pad byte after odd data unless `pad` is false.
std::string Chunk(std::string_view id, std::string_view data, bool pad = true);
std::string List(std::string_view type, std::string_view body);
std::string Anih(uint32_t frames, uint32_t steps, uint32_t rate, uint32_t flags = 1);
std::string Riff(std::string_view body, std::string_view form = "ACON");

struct TAniRecipe {
  bool WithAnih = true;
  uint32_t Frames = 0, Steps = 0, Rate = 6, Flags = 1;  // Frames/Steps 0: the number of icons
  std::vector<std::string> Icons;                         // file images
  std::vector<uint32_t> Rates, Seq;                       // left out when empty
  std::string Title, Author;                              // INFO list left out when both are empty
};
std::string BuildAni(const TAniRecipe& recipe);

// Bytes of a file in the fixtures folder (red8.ico, lime4.ico, blue32.ico, small16.ico,
// yellow8.cur with its hot spot at 3, 5).
std::string Fixture(const std::string& name);

}  // namespace anitest
