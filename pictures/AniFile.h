// Animated cursors (unit AniFile): TAnimatedCursorImage reads a RIFF "ACON"
// file into steps, each a TIconFrame with its icon, display time and hot spot,
// and hands them to an icon, a bitmap strip or an icon list. Reading only.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "AniRiff.h"
#include "Graphics.h"

namespace pictures {

class TIconFrame : public zf::TPersistent {
public:
  static const zf::TClassInfo& StaticClassInfo();
  const zf::TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  TIconFrame(int32_t frameNumber, uint32_t jiffies);
  // Copies every field; the icon as an own copy.
  void Assign(const zf::TPersistent* source) override;

  zf::TIcon* Icon() const { return FIcon.get(); }
  // Steps of one file may share an icon; it lives as long as the last of them.
  void SetIcon(std::shared_ptr<zf::TIcon> icon) { FIcon = std::move(icon); }

  bool IsIcon = false;  // the image was an icon, not a cursor
  char ChunkId[4] = {};
  uint32_t ChunkSize = 0;
  int32_t HotX = 0, HotY = 0;
  uint32_t Jiffies = 0;      // display time, 1/60 s
  int32_t FrameNumber = -1;  // -1: a step for an icon that no step asked for

private:
  std::shared_ptr<zf::TIcon> FIcon;
};

class TAnimatedCursorImage : public zf::TPersistent {
public:
  static const zf::TClassInfo& StaticClassInfo();
  const zf::TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  TAnimatedCursorImage();
  ~TAnimatedCursorImage() override;

  // None: Clear. Another cursor: a copy of its header, texts, colour count and
  // steps (cleared again if that fails). Itself: nothing.
  void Assign(const zf::TPersistent* source) override;
  // The bytes from the position to the end. EReadError "Stream read error" for
  // what is no animated cursor.
  virtual void LoadFromStream(zf::TStream& s);
  // Not supported: NotImplementedAbort.
  virtual void SaveToStream(zf::TStream& s);
  // Cleared again when loading fails.
  virtual void LoadFromFile(const std::string& name);

  void Clear();
  int Count() const { return static_cast<int>(FSteps.size()); }
  zf::TIcon* Icons(int index) const { return Frames(index)->Icon(); }
  TIconFrame* Frames(int index) const;
  const TAniHeader& Header() const { return FHeader; }
  const std::string& Title() const { return FTitle; }
  const std::string& Author() const { return FAuthor; }
  uint16_t ImageColors() const { return FImageColors; }

  // The steps' icons in a row (or stacked) on the background, each at its
  // position times its own size; the target gets an empty bitmap without steps.
  // `limitColors`: reduced to the larger of ImageColors and 16 colours.
  void DrawStrip(zf::TBitmap& target, zf::TColor background, bool stacked, bool limitColors) const;

protected:
  // A TIcon gets the first step's icon, a TBitmap the strip on its brush colour,
  // a TIconList a copy of every step's icon.
  void AssignTo(zf::TPersistent& dest) const override;

private:
  void ReadRiff(std::string_view data);
  TAniHeader FHeader;
  std::string FTitle, FAuthor;
  std::vector<std::unique_ptr<TIconFrame>> FSteps;
  uint16_t FImageColors = 0;
};

// Converts the bitmap to the colour count and loads it back; nothing for 0 colours.
void LimitBitmapColors(zf::TBitmap& bitmap, int colors);

}  // namespace pictures
