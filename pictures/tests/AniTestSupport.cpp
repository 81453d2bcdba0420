#include "AniTestSupport.h"

#include <fstream>
#include <sstream>

namespace anitest {

std::string U32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string U32s(const std::vector<uint32_t>& values) {
  std::string s;
  for (uint32_t v : values) s += U32(v);
  return s;
}

std::string Chunk(std::string_view id, std::string_view data, bool pad) {
  std::string s(id);
  s += U32(static_cast<uint32_t>(data.size()));
  s += data;
  if (pad && data.size() % 2) s.push_back('\0');
  return s;
}

std::string List(std::string_view type, std::string_view body) { return Chunk("LIST", std::string(type) + std::string(body)); }

std::string Anih(uint32_t frames, uint32_t steps, uint32_t rate, uint32_t flags) {
  return Chunk("anih", U32s({36, frames, steps, 32, 32, 8, 1, rate, flags}));
}

std::string Riff(std::string_view body, std::string_view form) {
  return "RIFF" + U32(static_cast<uint32_t>(body.size() + 4)) + std::string(form) + std::string(body);
}

std::string BuildAni(const TAniRecipe& recipe) {
  std::string body;
  if (!recipe.Title.empty() || !recipe.Author.empty()) {
    std::string info;
    if (!recipe.Title.empty()) info += Chunk("INAM", recipe.Title);
    if (!recipe.Author.empty()) info += Chunk("IART", recipe.Author);
    body += List("INFO", info);
  }
  const auto n = static_cast<uint32_t>(recipe.Icons.size());
  if (recipe.WithAnih) body += Anih(recipe.Frames ? recipe.Frames : n, recipe.Steps ? recipe.Steps : n, recipe.Rate, recipe.Flags);
  if (!recipe.Rates.empty()) body += Chunk("rate", U32s(recipe.Rates));
  if (!recipe.Seq.empty()) body += Chunk("seq ", U32s(recipe.Seq));
  std::string frames;
  for (const std::string& icon : recipe.Icons) frames += Chunk("icon", icon);
  body += List("fram", frames);
  return Riff(body);
}

std::string Fixture(const std::string& name) {
  std::ifstream f(std::string(ZIVO_PIC_FIXTURES) + "/" + name, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace anitest
