#include "IcoList.h"

#include <algorithm>

#include "IconData.h"

namespace pictures {

const zf::TClassInfo& TIconList::StaticClassInfo() {
  return zf::MakeClassInfo<TIconList, zf::TPersistent>("TIconList", [](auto&) {});
}

TIconList::TIconList() = default;

TIconList::~TIconList() {
  OnChange = nullptr;
  Clear();
}

void TIconList::Changed() {
  if (FUpdateLock == 0 && OnChange) OnChange(this);
}

void TIconList::UnlockUpdates() {
  if (--FUpdateLock == 0) Changed();
}

void TIconList::CheckIndex(int index, int limit) const {
  if (index < 0 || index >= limit) throw zf::EListError("List index out of bounds (" + zf::IntToStr(index) + ")");
}

void TIconList::Hook(zf::TIcon* icon) {
  if (icon) icon->OnChange = [this](zf::TObject*) { Changed(); };
}

std::unique_ptr<zf::TIcon> TIconList::Copy(const zf::TIcon* icon) {
  auto copy = std::make_unique<zf::TIcon>();
  copy->Assign(icon);
  return copy;
}

zf::TIcon* TIconList::Icons(int index) const {
  CheckIndex(index, Count());
  return FList[static_cast<size_t>(index)].get();
}

void TIconList::SetIcon(int index, const zf::TIcon* icon) {
  TIconListLock lock(*this);
  if (index == Count()) FList.emplace_back();
  CheckIndex(index, Count());
  auto& entry = FList[static_cast<size_t>(index)];
  if (!entry) {
    entry = std::make_unique<zf::TIcon>();
    Hook(entry.get());
  }
  entry->Assign(icon);
}

int TIconList::Add(const zf::TIcon* icon) { return AddIcon(Copy(icon)); }

int TIconList::AddIcon(std::unique_ptr<zf::TIcon> icon) {
  Hook(icon.get());
  FList.push_back(std::move(icon));
  Changed();
  return Count() - 1;
}

std::unique_ptr<zf::TIcon> TIconList::LoadResourceIcon(HINSTANCE instance, const std::string& name) {
  HANDLE h = LoadImageA(instance, name.c_str(), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE);
  if (!h) throw zf::EInvalidGraphic("Resource " + name + " not found");
  auto icon = std::make_unique<zf::TIcon>();
  icon->SetHandle(static_cast<HICON>(h));
  return icon;
}

int TIconList::AddResource(HINSTANCE instance, const std::string& name) {
  return AddIcon(LoadResourceIcon(instance, name));
}

void TIconList::InsertResource(int index, HINSTANCE instance, const std::string& name) {
  CheckIndex(index, Count() + 1);
  auto icon = LoadResourceIcon(instance, name);
  Hook(icon.get());
  FList.insert(FList.begin() + index, std::move(icon));
  Changed();
}

void TIconList::Clear() {
  TIconListLock lock(*this);
  for (int i = Count() - 1; i >= 0; --i) Delete(i);
}

void TIconList::Delete(int index) {
  CheckIndex(index, Count());
  auto doomed = std::move(FList[static_cast<size_t>(index)]);
  if (doomed) doomed->OnChange = nullptr;
  doomed.reset();
  FList.erase(FList.begin() + index);
  Changed();
}

void TIconList::Exchange(int index1, int index2) {
  CheckIndex(index1, Count());
  CheckIndex(index2, Count());
  std::swap(FList[static_cast<size_t>(index1)], FList[static_cast<size_t>(index2)]);
  Changed();
}

void TIconList::Move(int curIndex, int newIndex) {
  if (curIndex == newIndex) return;
  CheckIndex(curIndex, Count());
  CheckIndex(newIndex, Count());
  auto item = std::move(FList[static_cast<size_t>(curIndex)]);
  FList.erase(FList.begin() + curIndex);
  FList.insert(FList.begin() + newIndex, std::move(item));
  Changed();
}

int TIconList::IndexOf(const zf::TIcon* icon) const {
  for (int i = 0; i < Count(); ++i)
    if (FList[static_cast<size_t>(i)].get() == icon) return i;
  return -1;
}

void TIconList::Insert(int index, const zf::TIcon* icon) {
  CheckIndex(index, Count() + 1);
  auto copy = Copy(icon);
  Hook(copy.get());
  FList.insert(FList.begin() + index, std::move(copy));
  Changed();
}

void TIconList::Assign(const zf::TPersistent* source) {
  if (source == this) return;
  if (!source) {
    Clear();
  } else if (auto* list = dynamic_cast<const TIconList*>(source)) {
    TIconListLock lock(*this);
    Clear();
    for (const auto& icon : list->FList) Add(icon.get());
  } else if (auto* icon = dynamic_cast<const zf::TIcon*>(source)) {
    TIconListLock lock(*this);
    Clear();
    Add(icon);
  } else {
    zf::TPersistent::Assign(source);
  }
}

void TIconList::LoadFromStream(zf::TStream& s) {
  TIconListLock lock(*this);
  Clear();
  ReadIconEntries(s, [this](const std::string* bytes) {
    if (!bytes) {
      AddIcon(nullptr);
      return;
    }
    zf::TMemoryStream m(*bytes);
    auto icon = std::make_unique<zf::TIcon>();
    icon->LoadFromStream(m);
    AddIcon(std::move(icon));
  });
}

void TIconList::SaveToStream(zf::TStream& s) const {
  std::vector<std::string> entries;
  for (const auto& icon : FList) {
    zf::TMemoryStream m;
    if (icon && !icon->Empty()) icon->SaveToStream(m);
    entries.push_back(m.Bytes());
  }
  WriteIconEntries(s, entries);
}

bool TIconList::StoresIcons(const TIconList* ancestor) const {
  if (!ancestor || ancestor->Count() != Count()) return Count() > 0;
  for (int i = 0; i < Count(); ++i)
    if (FList[static_cast<size_t>(i)] != ancestor->FList[static_cast<size_t>(i)]) return true;
  return false;
}

}  // namespace pictures
