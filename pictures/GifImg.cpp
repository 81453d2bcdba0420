#include "GifImg.h"

#include <algorithm>
#include <cstring>

#include "AniFile.h"
#include "DepthConv.h"
#include "PicUtils.h"

namespace pictures {

namespace {

[[noreturn]] void Raise(const char* message) { throw zf::EInvalidGraphicOperation(message); }

UINT g_gifFormat = 0;
int g_gifInits = 0;

uint32_t FrameworkColorToRgb(TGifColor c) { return zf::ColorToRGB(c); }

// The picture's progress event, raised for the codec.
void RelayProgress(TGIFImage* picture, TGifProgressStage stage, uint8_t percent, const std::string& msg) {
  if (picture)
    picture->Progress(picture, static_cast<zf::TProgressStage>(stage), percent, false, zf::Rect(0, 0, 0, 0), msg);
}

// A graphic that is the bitmap `own` is copied before its holder lets go of it.
std::unique_ptr<zf::TBitmap> CopyIfOwn(const zf::TGraphic& g, const zf::TBitmap* own) {
  if (&g != own) return nullptr;
  auto copy = std::make_unique<zf::TBitmap>();
  copy->Assign(&g);
  return copy;
}

}  // namespace

UINT GifClipboardFormat() { return g_gifFormat; }

// --- frame ----------------------------------------------------------------------

const zf::TClassInfo& TGIFFrame::StaticClassInfo() {
  return zf::MakeClassInfo<TGIFFrame, zf::TPersistent>("TGIFFrame", [](auto&) {});
}

TGIFFrame::TGIFFrame(TGIFImage* owner) : FOwner(owner) { ResetItem(); }
TGIFFrame::~TGIFFrame() = default;

void TGIFFrame::ResetItem() {
  FItem = zf::TSharedRef<TGIFItem>::Make();
  TGifFrameState fresh;
  fresh.Extensions = std::move(FState.Extensions);
  FState = std::move(fresh);
}

void TGIFFrame::ResetBitmap() { FBitmap = std::make_unique<zf::TBitmap>(); }

void TGIFFrame::SetOrigin(int left, int top) {
  FState.Left = left;
  FState.Top = top;
}

TGifProgressHandler TGIFFrame::ProgressHandler() const {
  TGIFImage* owner = FOwner;
  return [owner](TGifProgressStage stage, uint8_t percent, const std::string& msg) {
    RelayProgress(owner, stage, percent, msg);
  };
}

zf::TBitmap& TGIFFrame::GetFrameBitmap() {
  if (FBitmap && !FBitmap->Empty()) return *FBitmap;
  ResetBitmap();
  if (!FItem->Data.HasEncoded()) return *FBitmap;
  zf::TMemoryStream dib;
  DecodeToDib(dib);
  if (dib.Size() == 0) return *FBitmap;  // a frame of no pixels
  auto b = std::make_unique<zf::TBitmap>();
  b->LoadFromStream(dib);
  if (!b->Monochrome()) b->SetHandleType(zf::TBitmapHandleType::bmDDB);
  FBitmap = std::move(b);
  return *FBitmap;
}

int TGIFFrame::FrameWidth() {
  if (!FBitmap && !FItem->Data.HasEncoded()) return 0;
  return GetFrameBitmap().Width();
}
int TGIFFrame::FrameHeight() {
  if (!FBitmap && !FItem->Data.HasEncoded()) return 0;
  return GetFrameBitmap().Height();
}

void TGIFFrame::DecodeToDib(zf::TMemoryStream& out) {
  const std::string bmp = pictures::DecodeToDib(FItem->Data, FState.Interlaced, ProgressHandler(), FState.Corrupted,
                                                TolerateCorruptGif != 0);
  out.Clear();
  out.WriteBuffer(bmp.data(), static_cast<int64_t>(bmp.size()));
  out.SetPosition(0);
}

void TGIFFrame::EncodeBitmap() {
  if (!FBitmap || FBitmap->Empty()) Raise(SGIFNoData);
  // Bitmaps of 1, 4 and 8 bits per pixel are saved as they are; any other is
  // reduced to 256 colours (or gray levels) first.
  const zf::TPixelFormat pf = FBitmap->PixelFormat();
  std::unique_ptr<zf::TMemoryStream> bmp;
  if (pf == zf::TPixelFormat::pf1bit || pf == zf::TPixelFormat::pf4bit || pf == zf::TPixelFormat::pf8bit) {
    bmp = std::make_unique<zf::TMemoryStream>();
    FBitmap->SaveToStream(*bmp);
  } else {
    const uint8_t method = FState.Grayscale ? static_cast<uint8_t>(mmGrayscale) : DefaultMappingMethod;
    bmp = ConvertBitmapDepth(*FBitmap, zf::TPixelFormat::pf8bit, method);
    if (method == mmGrayscale) FState.Grayscale = true;
  }
  EncodeDib(*bmp);
}

void TGIFFrame::EncodeDib(zf::TMemoryStream& bmp) {
  // Encoding writes into the item: one that other frames share is left to them.
  if (FItem->RefCount() > 1) {
    auto own = zf::TSharedRef<TGIFItem>::Make();
    own->Data = FItem->Data;
    own->Data.Encoded.reset();
    FItem = own;
  }
  FItem->Data.Encoded = std::string();
  try {
    pictures::EncodeDib(bmp.Bytes(), FItem->Data, FState, FOwner ? &FOwner->FData->Data : nullptr,
                        FOwner ? &FOwner->FScreen : nullptr, ProgressHandler());
  } catch (const zf::EAbort&) {
    ResetItem();
    throw;
  }
}

void TGIFFrame::UpdateExtensions() {
  uint8_t version = FOwner ? FOwner->FScreen.Version : 0;
  pictures::UpdateExtensions(FState, FItem->Data, version);
  if (FOwner) FOwner->FScreen.Version = version;
}

void TGIFFrame::DrawFrame(zf::TCanvas& canvas, const zf::TRect& r, bool transparent) {
  zf::TBitmap& b = GetFrameBitmap();
  if (b.Empty()) return;
  if (FState.TransparentColor != zf::clNone && transparent)
    DrawBitmapRectTransparent(canvas, r.Left, r.Top, r.Width(), r.Height(), zf::Rect(0, 0, b.Width(), b.Height()), b,
                              FState.TransparentColor);
  else
    canvas.StretchDraw(r, b);
}

std::vector<std::string>& TGIFFrame::CommentList() {
  TGifExtension* c = FindLastExtension(FState.Extensions, TGifExtensionKind::Comment);
  if (!c) {
    FState.Extensions.emplace_back();
    c = &FState.Extensions.back();
  }
  if (!c->Strings) c->Strings.emplace();
  return *c->Strings;
}

void TGIFFrame::SetCommentList(const std::vector<std::string>& strings) { CommentList() = strings; }

void TGIFFrame::Assign(const zf::TPersistent* source) {
  if (!source) {
    ResetItem();
    FBitmap.reset();
  } else if (auto* f = dynamic_cast<const TGIFFrame*>(source)) {
    if (f == this) return;
    FItem = f->FItem;
    FState.LocalTable = f->FOwner == FOwner ? f->FState.LocalTable : true;
    FState.Left = f->FState.Left;
    FState.Top = f->FState.Top;
    FState.Interlaced = f->FState.Interlaced;
    // Without a bitmap of its own the source is decoded from the shared item;
    // a bitmap this frame held before would show another picture.
    std::unique_ptr<zf::TBitmap> copy;
    if (f->FBitmap) {
      copy = std::make_unique<zf::TBitmap>();
      copy->Assign(f->FBitmap.get());
    }
    FBitmap = std::move(copy);
    FState.TransparentColor = f->FState.TransparentColor;
    FState.TransparentIndex = f->FState.TransparentIndex;
    FState.Delay = f->FState.Delay;
    FState.Disposal = f->FState.Disposal;
    FState.Grayscale = f->FState.Grayscale;
    FState.Corrupted = f->FState.Corrupted;
    const TGifExtension* c = FindLastExtension(f->FState.Extensions, TGifExtensionKind::Comment);
    if (c && c->Strings && !c->Strings->empty()) SetCommentList(*c->Strings);
  } else if (auto* img = dynamic_cast<const TGIFImage*>(source)) {
    if (img->FFrames.empty()) {
      Assign(nullptr);
      return;
    }
    const int i = img->FFrameIndex < 0 || img->FFrameIndex >= img->FrameCount() ? 0 : img->FFrameIndex;
    Assign(img->FFrames[static_cast<size_t>(i)].get());
    return;
  } else if (auto* g = dynamic_cast<const zf::TGraphic*>(source)) {
    if (g->Empty()) {
      Assign(nullptr);
      return;
    }
    AssignGraphic(*g);
  } else {
    zf::TPersistent::Assign(source);
    return;
  }
  if (FOwner) FOwner->UpdateScreenSize();
}

void TGIFFrame::AssignGraphic(const zf::TGraphic& source) {
  const std::unique_ptr<zf::TBitmap> own = CopyIfOwn(source, FBitmap.get());
  const zf::TGraphic& g = own ? *own : source;
  auto& src = const_cast<zf::TGraphic&>(g);
  ResetItem();
  ResetBitmap();
  try {
    FBitmap->Assign(&g);
  } catch (const zf::Exception&) {
    // A graphic the bitmap cannot take is drawn onto it instead.
    FBitmap = std::make_unique<zf::TBitmap>();
    FBitmap->Canvas().Brush().SetColor(static_cast<zf::TColor>(0xFF00FF));
    FBitmap->SetSize(g.Width(), g.Height());
    FBitmap->Canvas().Draw(0, 0, src);
  }
  if (g.Transparent()) {
    if (auto* b = dynamic_cast<zf::TBitmap*>(&src))
      FState.TransparentColor = b->TransparentColor();
    else
      FState.TransparentColor = static_cast<zf::TColor>(
          GetNearestColor(FBitmap->Canvas().Handle(), zf::ColorToRGB(FBitmap->Canvas().Brush().Color())));
  }
}

void TGIFFrame::AssignTo(zf::TPersistent& dest) const {
  if (dynamic_cast<TGIFFrame*>(&dest) || dynamic_cast<TGIFImage*>(&dest)) {
    dest.Assign(this);
    return;
  }
  auto* g = dynamic_cast<zf::TGraphic*>(&dest);
  if (!g) {
    zf::TPersistent::AssignTo(dest);
    return;
  }
  auto* self = const_cast<TGIFFrame*>(this);
  g->Assign(&self->GetFrameBitmap());
  if (auto* b = dynamic_cast<zf::TBitmap*>(g); b && FState.TransparentColor != zf::clNone) {
    b->SetTransparentColor(static_cast<zf::TColor>(
        GetNearestColor(b->Canvas().Handle(), zf::ColorToRGB(FState.TransparentColor))));
    b->SetTransparent(true);
  }
}

// --- image ----------------------------------------------------------------------

const zf::TClassInfo& TGIFImage::StaticClassInfo() {
  return zf::MakeClassInfo<TGIFImage, zf::TGraphic>("TGIFImage", [](auto&) {});
}

const zf::TGraphicClass& TGIFImage::Class() {
  static const zf::TGraphicClass c{"TGIFImage",
                                   []() -> std::unique_ptr<zf::TGraphic> { return std::make_unique<TGIFImage>(); }};
  return c;
}

TGIFImage::TGIFImage() {
  ResetImage();
  SetTransparent(true);
}

TGIFImage::~TGIFImage() {
  OnChange = nullptr;
  FreeFrames();
}

void TGIFImage::ResetImage() {
  FData = zf::TSharedRef<TGIFData>::Make();
  FreeFrames();
  FFrameIndex = -1;
  FScreen = TGifScreen();
}

void TGIFImage::FreeFrames() { FFrames.clear(); }

TGIFFrame* TGIFImage::FrameAt(int index) const {
  if (index < 0 || index >= FrameCount()) throw zf::EListError("List index out of bounds (" + zf::IntToStr(index) + ")");
  return FFrames[static_cast<size_t>(index)].get();
}

TGIFFrame* TGIFImage::CurrentFrame() const {
  if (FFrames.empty()) return nullptr;
  const int i = FFrameIndex < 0 || FFrameIndex >= FrameCount() ? 0 : FFrameIndex;
  return FFrames[static_cast<size_t>(i)].get();
}

zf::TBitmap& TGIFImage::CurrentBitmap() {
  if (FFrames.empty()) {
    FFrameIndex = 0;
    zf::TBitmap empty;
    Assign(&empty);
  }
  return CurrentFrame()->GetFrameBitmap();
}

int TGIFImage::AddFrame(const zf::TGraphic& graphic) {
  auto frame = std::make_unique<TGIFFrame>(this);
  TGIFFrame* f = frame.get();
  FFrames.push_back(std::move(frame));
  const int index = FrameCount() - 1;
  const int previous = FFrameIndex;
  FFrameIndex = index;
  try {
    f->Assign(&graphic);
  } catch (...) {
    FFrames.pop_back();
    FFrameIndex = previous;
    throw;
  }
  if (FScreen.Version == 0) FScreen.Version = 1;
  if (FrameCount() > 1) FScreen.Version = 2;
  return index;
}

void TGIFImage::UpdateScreenSize() {
  std::vector<TGifFrameView> views;
  for (const auto& f : FFrames) views.push_back({&f->FItem->Data, &f->FState});
  pictures::UpdateScreenSize(FScreen, views);
}

void TGIFImage::EncodeFrames() {
  for (const auto& f : FFrames) {
    if (!f->FItem->Data.HasEncoded()) {
      f->FItem->Data.Encoded.reset();
      f->EncodeBitmap();
    }
  }
  for (const auto& f : FFrames) f->UpdateExtensions();
}

void TGIFImage::ReadGifStream(int64_t count, zf::TStream& source, bool decodeFirst) {
  ResetImage();
  // A count beyond what the stream holds is refused before anything is allocated.
  if (count < 0 || count > std::max<int64_t>(0, source.Size() - source.Position()))
    throw zf::EReadError(SGIFReadError);
  std::string bytes(static_cast<size_t>(count), '\0');
  source.ReadBuffer(bytes.data(), count);
  TGifDocument doc;
  pictures::ReadGif(bytes, doc, TolerateCorruptGif != 0);
  bytes = std::string();
  FData->Data = std::move(doc.Data);
  FScreen = doc.Screen;
  for (TGifFrameRecord& r : doc.Frames) {
    auto f = std::make_unique<TGIFFrame>(this);
    f->FItem->Data = std::move(r.Item);
    f->FState = std::move(r.State);
    FFrames.push_back(std::move(f));
  }
  if (!FFrames.empty()) {
    FFrameIndex = 0;
    if (decodeFirst) {
      try {
        CurrentBitmap();
      } catch (...) {
        FFrames.erase(FFrames.begin());
        if (FFrames.empty()) FFrameIndex = -1;
        throw;
      }
    }
  }
  SetPaletteModified(true);
  Changed(this);
}

void TGIFImage::WriteGifStream(zf::TStream& dest, bool withLength) {
  if (FFrames.empty()) Raise(SGIFNoData);
  EncodeFrames();
  std::vector<TGifFrameView> views;
  for (const auto& f : FFrames) views.push_back({&f->FItem->Data, &f->FState});
  const std::string gif = pictures::WriteGif(FScreen, FData->Data, views);
  if (withLength) {
    const int32_t n = static_cast<int32_t>(gif.size());
    dest.WriteBuffer(&n, 4);
  }
  dest.WriteBuffer(gif.data(), static_cast<int64_t>(gif.size()));
}

void TGIFImage::LoadFromStream(zf::TStream& s) { ReadGifStream(std::max<int64_t>(0, s.Size() - s.Position()), s, true); }
void TGIFImage::SaveToStream(zf::TStream& s) { WriteGifStream(s, false); }

void TGIFImage::ReadData(zf::TStream& s) {
  int32_t n = 0;
  s.ReadBuffer(&n, 4);
  ReadGifStream(n, s, true);
}
void TGIFImage::WriteData(zf::TStream& s) { WriteGifStream(s, true); }

void TGIFImage::Assign(const zf::TPersistent* source) {
  if (!source) {
    ResetImage();
  } else if (auto* img = dynamic_cast<const TGIFImage*>(source)) {
    if (img == this) return;
    FData = img->FData;
    FScreen.Version = img->FScreen.Version;
    FScreen.Background = img->FScreen.Background;
    FScreen.RepeatCount = img->FScreen.RepeatCount;
    FScreen.Looping = img->FScreen.Looping;
    FreeFrames();
    for (const auto& sf : img->FFrames) {
      auto f = std::make_unique<TGIFFrame>(this);
      f->Assign(sf.get());
      f->FState.LocalTable = sf->FState.LocalTable;
      FFrames.push_back(std::move(f));
    }
    FScreen.Width = img->FScreen.Width;
    FScreen.Height = img->FScreen.Height;
    FFrameIndex = img->FFrameIndex;
  } else if (auto* frame = dynamic_cast<const TGIFFrame*>(source)) {
    // The frame may be one of ours, which the reset frees: work from copies.
    const TGifPictureData ownerData = frame->FOwner ? frame->FOwner->FData->Data : TGifPictureData();
    std::unique_ptr<TGIFFrame> copy;
    if (frame->FOwner == this) {
      copy = std::make_unique<TGIFFrame>(nullptr);
      copy->Assign(frame);
      copy->FState.LocalTable = frame->FState.LocalTable;
      frame = copy.get();
    }
    ResetImage();
    FData->Data.Aspect = ownerData.Aspect;
    FData->Data.BitsPerPixel = ownerData.BitsPerPixel;
    FData->Data.ColorResolution = ownerData.ColorResolution;
    FData->Data.GlobalTable = ownerData.GlobalTable;
    FFrames.push_back(std::make_unique<TGIFFrame>(this));
    FFrameIndex = 0;
    FFrames.back()->Assign(frame);
    if (FScreen.Version == 0) FScreen.Version = 1;
  } else if (auto* bmp = dynamic_cast<const zf::TBitmap*>(source)) {
    // A bitmap of one of our frames is copied before the frames go.
    std::unique_ptr<zf::TBitmap> own;
    for (const auto& f : FFrames)
      if (!own) own = CopyIfOwn(*bmp, f->Bitmap());
    ResetImage();
    AddFrame(own ? *own : *bmp);
  } else if (auto* ani = dynamic_cast<const TAnimatedCursorImage*>(source)) {
    ResetImage();
    FScreen.Background = zf::clWindow;
    for (int i = 0; i < ani->Count(); ++i) {
      AddFrame(*ani->Icons(i));
      // Jiffies are 1/60 s.
      FFrames[static_cast<size_t>(FFrameIndex)]->SetDelay(ani->Frames(i)->Jiffies * 100u / 6u);
    }
  } else {
    zf::TGraphic::Assign(source);
    return;
  }
  Changed(this);
}

void TGIFImage::AssignTo(zf::TPersistent& dest) const {
  if (dynamic_cast<TGIFImage*>(&dest)) {
    dest.Assign(this);
    return;
  }
  if (!dynamic_cast<zf::TGraphic*>(&dest)) {
    zf::TGraphic::AssignTo(dest);
    return;
  }
  auto* self = const_cast<TGIFImage*>(this);
  if (GetEmpty()) {
    dest.Assign(nullptr);
  } else if (FFrameIndex < 0) {
    dest.Assign(&self->CurrentBitmap());
  } else {
    CurrentFrame()->AssignTo(dest);
  }
}

bool TGIFImage::Equals(const zf::TGraphic& other) const {
  auto* g = dynamic_cast<const TGIFImage*>(&other);
  return g && g->FData.get() == FData.get();
}

bool TGIFImage::GetEmpty() const {
  if (FFrames.empty()) return true;
  const int i = std::max(FFrameIndex, 0);
  if (i >= FrameCount()) return true;
  const TGIFFrame& f = *FFrames[static_cast<size_t>(i)];
  if (f.Bitmap()) return false;
  return !f.FItem->Data.HasEncoded();
}

int TGIFImage::GetWidth() const {
  if (GetEmpty() || FFrameIndex < 0 || FFrameIndex >= FrameCount()) return 0;
  return const_cast<TGIFImage*>(this)->CurrentBitmap().Width();
}

int TGIFImage::GetHeight() const {
  if (GetEmpty() || FFrameIndex < 0 || FFrameIndex >= FrameCount()) return 0;
  return const_cast<TGIFImage*>(this)->CurrentBitmap().Height();
}

void TGIFImage::SetWidthImpl(int) { Raise(SGIFSize); }
void TGIFImage::SetHeightImpl(int) { Raise(SGIFSize); }

HPALETTE TGIFImage::GetPalette() const {
  if (FFrames.empty()) return nullptr;
  return const_cast<TGIFImage*>(this)->CurrentBitmap().Palette();
}

bool TGIFImage::GetTransparent() const {
  if (!zf::TGraphic::GetTransparent()) return false;
  return std::any_of(FFrames.begin(), FFrames.end(),
                     [](const auto& f) { return f->FState.TransparentColor != zf::clNone; });
}

void TGIFImage::Draw(zf::TCanvas& canvas, const zf::TRect& r) {
  if (FFrameIndex >= 0 && FFrameIndex < FrameCount())
    FFrames[static_cast<size_t>(FFrameIndex)]->DrawFrame(canvas, r, Transparent());
}

// --- clipboard ------------------------------------------------------------------

void TGIFImage::SaveToClipboardFormat(UINT& format, HANDLE& data, HPALETTE& palette) {
  if (FFrames.empty()) return;
  FFrames[0]->GetFrameBitmap().SaveToClipboardFormat(format, data, palette);
  const bool allEncoded =
      std::all_of(FFrames.begin(), FFrames.end(), [](const auto& f) { return f->FItem->Data.HasEncoded(); });
  if (!allEncoded) return;
  zf::TMemoryStream gif;
  WriteGifStream(gif, true);
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, static_cast<SIZE_T>(gif.Size()));
  void* p = h ? GlobalLock(h) : nullptr;
  if (!p) {
    if (h) GlobalFree(h);
    throw zf::EOutOfResources("Out of system resources");
  }
  std::memcpy(p, gif.Memory(), static_cast<size_t>(gif.Size()));
  GlobalUnlock(h);
  if (!SetClipboardData(g_gifFormat, h)) {
    GlobalFree(h);
    throw zf::EOutOfResources("Cannot place the GIF picture on the clipboard");
  }
}

void TGIFImage::LoadFromClipboardFormat(UINT format, HANDLE data, HPALETTE palette) {
  HANDLE gifData = g_gifFormat && IsClipboardFormatAvailable(g_gifFormat) ? GetClipboardData(g_gifFormat) : nullptr;
  if (!gifData) {
    zf::TBitmap b;
    b.LoadFromClipboardFormat(format, data, palette);
    Assign(&b);
    return;
  }
  // The length inside the block is trusted only as far as the block goes.
  const SIZE_T size = GlobalSize(gifData);
  const void* p = GlobalLock(gifData);
  if (!p) throw zf::EReadError(SGIFReadError);
  std::string bytes(static_cast<const char*>(p), size);
  GlobalUnlock(gifData);
  zf::TMemoryStream m(std::move(bytes));
  int32_t n = 0;
  m.ReadBuffer(&n, 4);
  ReadGifStream(n, m, false);
  if (FFrames.empty()) return;
  FFrameIndex = 0;
  if (IsClipboardFormatAvailable(CF_BITMAP)) {
    auto b = std::make_unique<zf::TBitmap>();
    b->LoadFromClipboardFormat(CF_BITMAP, GetClipboardData(CF_BITMAP), palette);
    FFrames[0]->FBitmap = std::move(b);
  }
}

// --- registration -----------------------------------------------------------------

void RegisterGifImage() {
  if (g_gifInits++ > 0) return;
  GifColorToRgb = FrameworkColorToRgb;
  g_gifFormat = RegisterClipboardFormatA("GIF Image");
  zf::RegisterClass(TGIFFrame::StaticClassInfo());
  zf::RegisterClass(TGIFImage::StaticClassInfo());
  zf::TPicture::RegisterFileFormat("gif", "CompuServe GIF Image", TGIFImage::Class());
  if (g_gifFormat) zf::TPicture::RegisterClipboardFormat(g_gifFormat, TGIFImage::Class());
}

void UnregisterGifImage() {
  if (g_gifInits == 0 || --g_gifInits > 0) return;
  zf::TPicture::UnregisterGraphicClass(TGIFImage::Class());
}

}  // namespace pictures
