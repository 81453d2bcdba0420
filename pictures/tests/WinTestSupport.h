// Helpers of the picture units' tests under Wine: fixture icons, 24-bit
// bitmaps from a pixel function, and an answer to the next message box.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "Graphics.h"

namespace wintest {

// An icon of the fixtures folder, loaded by the framework.
std::unique_ptr<zf::TIcon> LoadIcon(const std::string& name);

// Pixel function: (x, y) -> 0xRRGGBB.
template <class F>
void Fill24(zf::TBitmap& b, int w, int h, F&& color) {
  b.SetPixelFormat(zf::TPixelFormat::pf24bit);
  b.SetSize(w, h);
  for (int y = 0; y < h; ++y) {
    auto* row = static_cast<uint8_t*>(b.ScanLine(y));
    for (int x = 0; x < w; ++x) {
      const uint32_t c = color(x, y);
      row[3 * x] = static_cast<uint8_t>(c), row[3 * x + 1] = static_cast<uint8_t>(c >> 8),
              row[3 * x + 2] = static_cast<uint8_t>(c >> 16);
    }
  }
}

// 0xRRGGBB of a pixel as the canvas reads it.
uint32_t Rgb(zf::TBitmap& b, int x, int y);

// Watches this thread's windows from a second thread and answers the first
// message box with OK, keeping its text.
class TBoxAnswer {
public:
  TBoxAnswer();
  ~TBoxAnswer();
  std::string Text();  // waits for the watcher to end

private:
  std::atomic<bool> FStop{false};
  std::string FText;
  std::thread FThread;
};

}  // namespace wintest
