#include "AniFile.h"

#include <algorithm>
#include <cstring>

#include "DepthConv.h"
#include "IcoList.h"

namespace pictures {

// --- frame --------------------------------------------------------------------

const zf::TClassInfo& TIconFrame::StaticClassInfo() {
  return zf::MakeClassInfo<TIconFrame, zf::TPersistent>("TIconFrame", [](auto&) {});
}

TIconFrame::TIconFrame(int32_t frameNumber, uint32_t jiffies) : Jiffies(jiffies), FrameNumber(frameNumber) {}

void TIconFrame::Assign(const zf::TPersistent* source) {
  auto* f = dynamic_cast<const TIconFrame*>(source);
  if (!f) {
    zf::TPersistent::Assign(source);
    return;
  }
  if (f == this) return;
  std::shared_ptr<zf::TIcon> icon;
  if (f->FIcon) {
    icon = std::make_shared<zf::TIcon>();
    icon->Assign(f->FIcon.get());
  }
  FIcon = std::move(icon);
  IsIcon = f->IsIcon;
  std::memcpy(ChunkId, f->ChunkId, sizeof ChunkId);
  ChunkSize = f->ChunkSize;
  HotX = f->HotX;
  HotY = f->HotY;
  Jiffies = f->Jiffies;
  FrameNumber = f->FrameNumber;
}

// --- cursor -------------------------------------------------------------------

const zf::TClassInfo& TAnimatedCursorImage::StaticClassInfo() {
  return zf::MakeClassInfo<TAnimatedCursorImage, zf::TPersistent>("TAnimatedCursorImage", [](auto&) {});
}

TAnimatedCursorImage::TAnimatedCursorImage() = default;
TAnimatedCursorImage::~TAnimatedCursorImage() = default;

void TAnimatedCursorImage::Clear() {
  FSteps.clear();
  FHeader = TAniHeader{};
  FTitle.clear();
  FAuthor.clear();
  FImageColors = 0;
}

TIconFrame* TAnimatedCursorImage::Frames(int index) const {
  if (index < 0 || index >= Count()) throw zf::EListError("List index out of bounds (" + zf::IntToStr(index) + ")");
  return FSteps[static_cast<size_t>(index)].get();
}

void TAnimatedCursorImage::ReadRiff(std::string_view data) {
  if (data.size() < 12 || data.substr(0, 4) != "RIFF" || data.substr(8, 4) != "ACON")
    throw zf::EReadError(SStreamReadError);
  Clear();
  std::vector<std::shared_ptr<zf::TIcon>> icons;
  const TAniContent c = ReadAniRiff(data, [&icons](const std::string& image) -> std::optional<TLoadedIcon> {
    auto icon = std::make_shared<zf::TIcon>();
    try {
      zf::TMemoryStream m(image);
      icon->LoadFromStream(m);
    } catch (const zf::Exception&) {
      return std::nullopt;
    }
    icons.push_back(icon);
    return TLoadedIcon{static_cast<int>(icons.size()) - 1, icon->Width(), icon->Height()};
  });
  FHeader = c.Header;
  FTitle = c.Title;
  FAuthor = c.Author;
  FImageColors = c.ImageColors;
  for (const TAniStep& s : c.Steps) {
    auto f = std::make_unique<TIconFrame>(s.FrameNumber, s.Jiffies);
    f->SetIcon(icons[static_cast<size_t>(s.Icon)]);
    f->IsIcon = s.IsIcon;
    std::memcpy(f->ChunkId, s.ChunkId, sizeof f->ChunkId);
    f->ChunkSize = s.ChunkSize;
    f->HotX = s.HotX;
    f->HotY = s.HotY;
    FSteps.push_back(std::move(f));
  }
}

void TAnimatedCursorImage::LoadFromStream(zf::TStream& s) {
  const std::string data = s.ReadRest();
  if (!data.empty()) ReadRiff(data);
}

void TAnimatedCursorImage::SaveToStream(zf::TStream&) { NotImplementedAbort(); }

void TAnimatedCursorImage::LoadFromFile(const std::string& name) {
  try {
    zf::TFileStream f(name, zf::TFileMode::fmOpenRead);
    LoadFromStream(f);
  } catch (...) {
    Clear();
    throw;
  }
}

void TAnimatedCursorImage::Assign(const zf::TPersistent* source) {
  if (source == this) return;
  if (!source) {
    Clear();
    return;
  }
  auto* src = dynamic_cast<const TAnimatedCursorImage*>(source);
  if (!src) {
    zf::TPersistent::Assign(source);
    return;
  }
  Clear();
  try {
    FHeader = src->FHeader;
    FTitle = src->FTitle;
    FAuthor = src->FAuthor;
    FImageColors = src->FImageColors;
    for (const auto& step : src->FSteps) {
      auto f = std::make_unique<TIconFrame>(-1, src->FHeader.DisplayRate);
      f->Assign(step.get());
      FSteps.push_back(std::move(f));
    }
  } catch (...) {
    Clear();
    throw;
  }
}

void TAnimatedCursorImage::AssignTo(zf::TPersistent& dest) const {
  if (auto* icon = dynamic_cast<zf::TIcon*>(&dest)) {
    if (!FSteps.empty()) icon->Assign(FSteps.front()->Icon());
  } else if (auto* bitmap = dynamic_cast<zf::TBitmap*>(&dest)) {
    DrawStrip(*bitmap, bitmap->Canvas().Brush().Color(), false, true);
  } else if (auto* list = dynamic_cast<TIconList*>(&dest)) {
    TIconListLock lock(*list);
    list->Clear();
    for (const auto& step : FSteps) list->Add(step->Icon());
  } else {
    zf::TPersistent::AssignTo(dest);
  }
}

void TAnimatedCursorImage::DrawStrip(zf::TBitmap& target, zf::TColor background, bool stacked, bool limitColors) const {
  zf::TBitmap strip;
  if (!FSteps.empty()) {
    zf::TIcon* first = FSteps.front()->Icon();
    const int n = Count();
    strip.SetPixelFormat(zf::TPixelFormat::pf24bit);
    strip.Canvas().Brush().SetColor(background);
    if (stacked) strip.SetSize(first->Width(), first->Height() * n);
    else strip.SetSize(first->Width() * n, first->Height());
    strip.Canvas().FillRect(zf::Rect(0, 0, strip.Width(), strip.Height()));
    for (int c = 0; c < n; ++c) {
      zf::TIcon* icon = FSteps[static_cast<size_t>(c)]->Icon();
      if (stacked) strip.Canvas().Draw(0, c * icon->Height(), *icon);
      else strip.Canvas().Draw(c * icon->Width(), 0, *icon);
    }
    if (limitColors) LimitBitmapColors(strip, std::max<int>(FImageColors, 16));
  }
  target.Assign(&strip);
}

void LimitBitmapColors(zf::TBitmap& bitmap, int colors) {
  if (colors == 0) return;
  auto converted = ConvertBitmapColors(bitmap, colors);
  bitmap.LoadFromStream(*converted);
}

}  // namespace pictures
