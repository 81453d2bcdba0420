// JPEG pictures through libjpeg: registered for "jpeg" and "jpg". A fatal
// library error raises EInvalidGraphic "JPEG error #<message code>".
#pragma once
#include <string>

#include "Graphics.h"
#include "JpegDecode.h"

namespace zf {

class TJPEGImage : public TGraphic {
public:
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  TJPEGImage();
  ~TJPEGImage() override;
  static const TGraphicClass& Class();
  const TGraphicClass& GraphicClass() const override { return Class(); }
  void Assign(const TPersistent* source) override;
  // Decodes at once (the picture's bitmap is made when drawn).
  void LoadFromStream(TStream& s) override;
  // Writes the JPEG data it was loaded with.
  void SaveToStream(TStream& s) override;
  // The stored form: a 32-bit length, then the JPEG data.
  void ReadData(TStream& s) override;
  void WriteData(TStream& s) override;
  const TJpegPixels& Pixels() const { return FPixels; }
  TBitmap& Bitmap();

protected:
  void Draw(TCanvas& canvas, const TRect& r) override;
  bool GetEmpty() const override { return FPixels.Width == 0; }
  int GetWidth() const override { return FPixels.Width; }
  int GetHeight() const override { return FPixels.Height; }
  void SetWidthImpl(int) override;
  void SetHeightImpl(int) override;

private:
  std::string FData;
  TJpegPixels FPixels;
  std::unique_ptr<TBitmap> FBitmap;
};

// Registers TJPEGImage for "jpeg" and "jpg"; idempotent.
void RegisterJpegImage();

}  // namespace zf
