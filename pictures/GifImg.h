// GIF pictures for the framework: TGIFImage (a TGraphic of any number of
// frames, registered for "gif" and the clipboard format "GIF Image"),
// TGIFFrame (one image with placement, timing, transparency and extensions,
// decoded into a bitmap on first use), TGIFItem and TGIFData (frame and picture
// data shared by reference). The byte model is GifCore.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "GifCore.h"
#include "Graphics.h"

namespace pictures {

class TGIFImage;

// One extension block.
using TExtension = TGifExtension;

// A frame's shared data: code bytes, size, colour table.
class TGIFItem : public zf::TSharedImage {
public:
  TGifItemData Data;

protected:
  void FreeHandle() override { Data.Encoded.reset(); }
};

// The picture-wide data: comments, aspect, bits per pixel, global table.
class TGIFData : public zf::TSharedImage {
public:
  TGifPictureData Data;

protected:
  void FreeHandle() override { Data.Comments.clear(); }
};

class TGIFFrame : public zf::TPersistent {
public:
  static const zf::TClassInfo& StaticClassInfo();
  const zf::TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  // `owner` may be nullptr: a frame of no picture.
  explicit TGIFFrame(TGIFImage* owner);
  ~TGIFFrame() override;
  void Assign(const zf::TPersistent* source) override;

  TGIFImage* Owner() const { return FOwner; }
  // The decoded (or assigned) picture, decoding on first use.
  zf::TBitmap& GetFrameBitmap();
  zf::TBitmap* Bitmap() const { return FBitmap.get(); }
  int FrameWidth();
  int FrameHeight();

  TGIFItem& Item() const { return *FItem; }
  TGifFrameState& State() { return FState; }
  const TGifFrameState& State() const { return FState; }
  int Left() const { return FState.Left; }
  int Top() const { return FState.Top; }
  void SetOrigin(int left, int top);
  uint32_t Delay() const { return FState.Delay; }
  void SetDelay(uint32_t ms) { FState.Delay = ms; }
  uint8_t Disposal() const { return FState.Disposal; }
  void SetDisposal(uint8_t d) { FState.Disposal = static_cast<uint8_t>(d & 7); }
  zf::TColor TransparentColor() const { return FState.TransparentColor; }
  void SetTransparentColor(zf::TColor c) { FState.TransparentColor = c; }
  bool Interlaced() const { return FState.Interlaced; }
  bool Corrupted() const { return FState.Corrupted; }
  bool LocalTable() const { return FState.LocalTable; }
  void SetLocalTable(bool v) { FState.LocalTable = v; }

  // The BMP file of the frame's code bytes.
  void DecodeToDib(zf::TMemoryStream& out);
  // Encodes the bitmap (of 1, 4 or 8 bits per pixel) into code bytes.
  void EncodeBitmap();
  void EncodeDib(zf::TMemoryStream& bmp);
  void UpdateExtensions();
  void DrawFrame(zf::TCanvas& canvas, const zf::TRect& r, bool transparent);

  // The strings of the frame's last comment block (created on demand).
  std::vector<std::string>& CommentList();
  void SetCommentList(const std::vector<std::string>& strings);
  void ResetItem();
  void ResetBitmap();

protected:
  void AssignTo(zf::TPersistent& dest) const override;

private:
  friend class TGIFImage;
  void AssignGraphic(const zf::TGraphic& g);
  TGifProgressHandler ProgressHandler() const;
  TGIFImage* FOwner;
  std::unique_ptr<zf::TBitmap> FBitmap;
  zf::TSharedRef<TGIFItem> FItem;
  TGifFrameState FState;
};

class TGIFImage : public zf::TGraphic {
public:
  static const zf::TClassInfo& StaticClassInfo();
  const zf::TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  static const zf::TGraphicClass& Class();
  const zf::TGraphicClass& GraphicClass() const override { return Class(); }
  TGIFImage();
  ~TGIFImage() override;

  void Assign(const zf::TPersistent* source) override;
  bool Equals(const zf::TGraphic& other) const override;
  void LoadFromStream(zf::TStream& s) override;
  void SaveToStream(zf::TStream& s) override;
  void LoadFromClipboardFormat(UINT format, HANDLE data, HPALETTE palette) override;
  void SaveToClipboardFormat(UINT& format, HANDLE& data, HPALETTE& palette) override;
  void ReadData(zf::TStream& s) override;
  void WriteData(zf::TStream& s) override;

  // A new frame from the graphic, made current; its index.
  int AddFrame(const zf::TGraphic& graphic);
  int FrameCount() const { return static_cast<int>(FFrames.size()); }
  TGIFFrame* FrameAt(int index) const;
  int FrameIndex() const { return FFrameIndex; }
  void SetFrameIndex(int index) { FFrameIndex = index; }
  void FreeFrames();
  void ResetImage();
  zf::TBitmap& CurrentBitmap();
  void UpdateScreenSize();
  void EncodeFrames();
  void ReadGifStream(int64_t count, zf::TStream& source, bool decodeFirst);
  void WriteGifStream(zf::TStream& dest, bool withLength);

  TGifScreen& Screen() { return FScreen; }
  const TGifScreen& Screen() const { return FScreen; }
  TGIFData& Data() const { return *FData; }
  std::vector<std::string>& Comments() { return FData->Data.Comments; }

protected:
  void AssignTo(zf::TPersistent& dest) const override;
  void Draw(zf::TCanvas& canvas, const zf::TRect& r) override;
  bool GetEmpty() const override;
  int GetWidth() const override;
  int GetHeight() const override;
  void SetWidthImpl(int) override;
  void SetHeightImpl(int) override;
  HPALETTE GetPalette() const override;
  bool GetTransparent() const override;

private:
  friend class TGIFFrame;
  TGIFFrame* CurrentFrame() const;
  zf::TSharedRef<TGIFData> FData;
  TGifScreen FScreen;
  std::vector<std::unique_ptr<TGIFFrame>> FFrames;
  int FFrameIndex = -1;
};

// The clipboard format "GIF Image" (0 before registration).
UINT GifClipboardFormat();

// Unit start and end; each counts, and only the first start and the last end act.
void RegisterGifImage();
void UnregisterGifImage();

}  // namespace pictures
