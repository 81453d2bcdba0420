// A persistent list of icons (unit IcoList) with one change event, an update
// lock and the "Icons" stream form, so that a list stored with a form is
// written and read with it.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Graphics.h"

namespace pictures {

class TIconList : public zf::TPersistent {
public:
  static const zf::TClassInfo& StaticClassInfo();
  const zf::TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  TIconList();
  ~TIconList() override;

  // None: Clear. A list or an icon: under the lock, Clear and a copy of each of its
  // icons. Itself: nothing. Others: the source's AssignTo (conversion error).
  void Assign(const zf::TPersistent* source) override;
  // OnChange, unless updates are locked.
  virtual void Changed();

  // The icon of an entry; null for an empty entry. Indexes out of range raise
  // EListError "List index out of bounds (<index>)".
  zf::TIcon* Icons(int index) const;
  int Count() const { return static_cast<int>(FList.size()); }
  // Index = Count appends an empty entry first; the entry's icon takes a copy of `icon`.
  void SetIcon(int index, const zf::TIcon* icon);
  // A copy of the icon, appended; its index.
  int Add(const zf::TIcon* icon);
  // The icon itself (or none, an empty entry) appended; the list owns it.
  int AddIcon(std::unique_ptr<zf::TIcon> icon);
  int AddResource(HINSTANCE instance, const std::string& name);
  void Clear();
  void Delete(int index);
  void Exchange(int index1, int index2);
  int IndexOf(const zf::TIcon* icon) const;
  void Insert(int index, const zf::TIcon* icon);
  void InsertResource(int index, HINSTANCE instance, const std::string& name);
  void Move(int curIndex, int newIndex);
  // The "Icons" stream form: 32-bit count, per entry a 32-bit size and the icon's
  // file form; size 0 for an empty entry or an icon without an image.
  void LoadFromStream(zf::TStream& s);
  void SaveToStream(zf::TStream& s) const;

  void LockUpdates() { ++FUpdateLock; }
  // The outermost unlock of a batch raises one change.
  void UnlockUpdates();

  // Whether the "Icons" property is stored: a non-empty list without an ancestor
  // list of its length, or one that holds another icon object than the ancestor at some index.
  bool StoresIcons(const TIconList* ancestor) const;

  std::function<void(zf::TObject* Sender)> OnChange;

private:
  void CheckIndex(int index, int limit) const;
  void Hook(zf::TIcon* icon);
  std::unique_ptr<zf::TIcon> Copy(const zf::TIcon* icon);
  std::unique_ptr<zf::TIcon> LoadResourceIcon(HINSTANCE instance, const std::string& name);
  std::vector<std::unique_ptr<zf::TIcon>> FList;
  int FUpdateLock = 0;
};

// Holds a list's update lock for a scope.
class TIconListLock {
public:
  explicit TIconListLock(TIconList& list) : FList(list) { FList.LockUpdates(); }
  ~TIconListLock() { FList.UnlockUpdates(); }
  TIconListLock(const TIconListLock&) = delete;
  TIconListLock& operator=(const TIconListLock&) = delete;

private:
  TIconList& FList;
};

}  // namespace pictures
