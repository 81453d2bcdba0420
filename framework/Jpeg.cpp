#include "Jpeg.h"

#include <cstring>

namespace zf {

const TClassInfo& TJPEGImage::StaticClassInfo() {
  return MakeClassInfo<TJPEGImage, TGraphic>("TJPEGImage", [](auto&) {});
}

const TGraphicClass& TJPEGImage::Class() {
  static const TGraphicClass c{"TJPEGImage",
                               []() -> std::unique_ptr<TGraphic> { return std::make_unique<TJPEGImage>(); }};
  return c;
}

TJPEGImage::TJPEGImage() = default;
TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::Assign(const TPersistent* source) {
  if (!source) {
    FData.clear();
    FPixels = TJpegPixels();
    FBitmap.reset();
    Changed(this);
    return;
  }
  if (auto* j = dynamic_cast<const TJPEGImage*>(source)) {
    if (j == this) return;
    FData = j->FData;
    FPixels = j->FPixels;
    FBitmap.reset();
    Changed(this);
    return;
  }
  TPersistent::Assign(source);
}

void TJPEGImage::LoadFromStream(TStream& s) {
  std::string data = s.ReadRest();
  TJpegPixels px = DecodeJpeg(data);  // raises before anything changes
  FData = std::move(data);
  FPixels = std::move(px);
  FBitmap.reset();
  Changed(this);
}

void TJPEGImage::SaveToStream(TStream& s) { s.WriteBuffer(FData.data(), static_cast<int64_t>(FData.size())); }

void TJPEGImage::ReadData(TStream& s) { TGraphic::ReadData(s); }
void TJPEGImage::WriteData(TStream& s) { TGraphic::WriteData(s); }

TBitmap& TJPEGImage::Bitmap() {
  if (!FBitmap) {
    auto b = std::make_unique<TBitmap>();
    b->SetPixelFormat(TPixelFormat::pf24bit);
    b->SetSize(FPixels.Width, FPixels.Height);
    for (int y = 0; y < FPixels.Height; ++y) {
      auto* row = static_cast<uint8_t*>(b->ScanLine(y));
      const char* src = FPixels.Rgb.data() + static_cast<size_t>(y) * static_cast<size_t>(FPixels.Width) * 3;
      for (int x = 0; x < FPixels.Width; ++x) {
        // DIB pixels are blue, green, red.
        row[x * 3 + 0] = static_cast<uint8_t>(src[x * 3 + 2]);
        row[x * 3 + 1] = static_cast<uint8_t>(src[x * 3 + 1]);
        row[x * 3 + 2] = static_cast<uint8_t>(src[x * 3 + 0]);
      }
    }
    FBitmap = std::move(b);
  }
  return *FBitmap;
}

void TJPEGImage::Draw(TCanvas& canvas, const TRect& r) {
  if (!Empty()) canvas.StretchDraw(r, Bitmap());
}

void TJPEGImage::SetWidthImpl(int) { throw EInvalidGraphicOperation("Cannot change the size of a JPEG image"); }
void TJPEGImage::SetHeightImpl(int) { throw EInvalidGraphicOperation("Cannot change the size of a JPEG image"); }

void RegisterJpegImage() {
  TPicture::RegisterFileFormat("jpeg", "JPEG Image File", TJPEGImage::Class());
  TPicture::RegisterFileFormat("jpg", "JPEG Image File", TJPEGImage::Class());
}

}  // namespace zf
