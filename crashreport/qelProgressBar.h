// The progress strip: a borderless topmost window in the middle of the screen
// with a filled bar and a percent text, painted directly through its device
// context (it gets no message loop of its own). Windows only.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>

#include "qelProgress.h"

namespace qel {

class TProgressBar : public IProgressView {
public:
  TProgressBar();
  ~TProgressBar() override;
  TProgressBar(const TProgressBar&) = delete;
  TProgressBar& operator=(const TProgressBar&) = delete;

  void ShowPosition(int perMille) override;

  HWND Window() const { return FWindow; }
  int Position() const { return FPosition; }
  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  // The memory bitmap's pixels (0x00RRGGBB), top row first.
  uint32_t PixelAt(int x, int y) const;
  HDC MemoryDC() const { return FMemoryDC; }
  HBITMAP Bitmap() const { return FBitmap; }
  HFONT Font() const { return FFont; }

private:
  void Draw(int perMille, bool always);
  void CopyToWindow(int left, int top, int right, int bottom);
  void PresentDrawing();

  HWND FWindow = nullptr;
  HDC FWindowDC = nullptr;
  HDC FMemoryDC = nullptr;
  HBITMAP FBitmap = nullptr;
  HGDIOBJ FOldBitmap = nullptr;
  HFONT FFont = nullptr;
  HGDIOBJ FOldFont = nullptr;
  const uint32_t* FPixels = nullptr;
  int FWidth = 0;
  int FHeight = 0;
  int FPosition = 0;
};

// A tracker on GetTickCount that shows a TProgressBar.
std::unique_ptr<TTraceProgress> NewTraceProgress();

}  // namespace qel
