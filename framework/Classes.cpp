#include "Classes.h"

#include <algorithm>

#include "TextCase.h"

namespace zf {

namespace {
std::string Lower(const std::string& s) {
  std::string r = s;
  for (char& c : r) c = LowerAscii(c);
  return r;
}
std::map<std::string, const TClassInfo*>& Registry() {
  static std::map<std::string, const TClassInfo*> r;
  return r;
}
template <class M>
auto FindUp(const TClassInfo* c, const M TClassInfo::*member, const std::string& name)
    -> const typename M::mapped_type* {
  for (; c; c = c->Parent()) {
    const M& m = c->*member;
    auto it = m.find(name);
    if (it != m.end()) return &it->second;
    // Property and handler names are case-insensitive in layouts.
    for (const auto& [k, v] : m)
      if (SameTextAscii(k, name)) return &v;
  }
  return nullptr;
}
}  // namespace

bool TClassInfo::InheritsFrom(const TClassInfo& other) const {
  for (const TClassInfo* c = this; c; c = c->FParent)
    if (c == &other) return true;
  return false;
}

const TPropertySetter* TClassInfo::FindProperty(const std::string& name) const {
  return FindUp(this, &TClassInfo::Properties, name);
}
const THandlerFactory* TClassInfo::FindHandler(const std::string& name) const {
  return FindUp(this, &TClassInfo::Handlers, name);
}
const TFieldSetter* TClassInfo::FindField(const std::string& name) const {
  return FindUp(this, &TClassInfo::Fields, name);
}

void RegisterClass(const TClassInfo& info) { Registry()[Lower(info.Name())] = &info; }
void RegisterClassA(const TClassInfo& info) { RegisterClass(info); }

const TClassInfo* FindClass(const std::string& name) {
  auto it = Registry().find(Lower(name));
  return it == Registry().end() ? nullptr : it->second;
}

const TClassInfo& TObject::StaticClassInfo() {
  static TClassInfo info("TObject", nullptr);
  return info;
}

const TClassInfo& TPersistent::StaticClassInfo() {
  return MakeClassInfo<TPersistent, TObject>("TPersistent", [](auto&) {});
}

void TPersistent::Assign(const TPersistent* source) {
  if (source) {
    source->AssignTo(*this);
    return;
  }
  AssignError(nullptr);
}

void TPersistent::AssignTo(TPersistent& dest) const { dest.AssignError(this); }

void TPersistent::AssignError(const TPersistent* source) const {
  std::string from = source ? source->ClassName() : std::string("nil");
  throw EConvertError("Cannot assign a " + from + " to a " + ClassName());
}

TComponent::TComponent(TComponent* owner) : FOwner(owner) {
  if (owner && owner->FState.Has(csDesigning)) FState.Include(csDesigning);
}

TComponent::~TComponent() {
  FState.Include(csDestroying);
  DestroyComponents();
}

void TComponent::DestroyComponents() {
  // Last created first, as the owned components may refer to earlier ones.
  while (!FComponents.empty()) {
    std::unique_ptr<TComponent> c = std::move(FComponents.back());
    FComponents.pop_back();
    c.reset();
  }
}

const TClassInfo& TComponent::StaticClassInfo() {
  return MakeClassInfo<TComponent, TPersistent>("TComponent", [](TPublisher<TComponent>& p) {
    p.Info().Properties["Name"] = [](TObject& o, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::Ident && v.kind != TPropertyValue::Kind::String)
        throw EPropertyError("Invalid property value");
      static_cast<TComponent&>(o).SetName(v.Str);
    };
  });
}

void TComponent::SetDesigning(bool on) {
  if (on) FState.Include(csDesigning);
  else FState.Exclude(csDesigning);
  for (auto& c : FComponents) c->SetDesigning(on);
}

void TComponent::SetLoading(bool on) {
  if (on) FState.Include(csLoading);
  else FState.Exclude(csLoading);
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  for (const auto& c : FComponents)
    if (!name.empty() && SameTextAscii(c->Name(), name)) return c.get();
  return nullptr;
}

TComponent* TComponent::InsertComponent(std::unique_ptr<TComponent> c) {
  if (!c) return nullptr;
  if (c->FOwner != this) throw EComponentError("Component inserted into another owner");
  FComponents.push_back(std::move(c));
  return FComponents.back().get();
}

void TComponent::FreeComponent(TComponent* c) {
  auto it = std::find_if(FComponents.begin(), FComponents.end(), [c](const auto& p) { return p.get() == c; });
  if (it == FComponents.end()) return;
  std::unique_ptr<TComponent> doomed = std::move(*it);
  FComponents.erase(it);
}

}  // namespace zf
