// Object model: objects, persistent objects and components with owners, class
// information for streaming (factories, published properties, fields, handlers).
#pragma once
#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "SysUtils.h"
#include "TypInfo.h"

namespace zf {

class TObject;
class TComponent;
class TClassInfo;

// A value as a stored layout gives it to a published property.
struct TPropertyValue {
  enum class Kind { Integer, Float, String, Ident, Boolean, Set, List, Binary, Method, Collection };
  Kind kind = Kind::Integer;
  int64_t Int = 0;
  double Float = 0;
  std::string Str;                 // String, Ident (a name), Binary (raw bytes)
  std::vector<std::string> Items;  // Set (element names), List (strings)
  std::any Method;                 // a bound handler of the layout's root object
  std::string HandlerName;         // the handler's name, for error texts
  // Item lists (<item ... end>): per item its properties in layout order.
  std::vector<std::vector<std::pair<std::string, TPropertyValue>>> Collection;

  static TPropertyValue Integer(int64_t v) { TPropertyValue p; p.kind = Kind::Integer; p.Int = v; return p; }
  static TPropertyValue String(std::string v) { TPropertyValue p; p.kind = Kind::String; p.Str = std::move(v); return p; }
  static TPropertyValue Ident(std::string v) { TPropertyValue p; p.kind = Kind::Ident; p.Str = std::move(v); return p; }
  static TPropertyValue Boolean(bool v) { TPropertyValue p; p.kind = Kind::Boolean; p.Int = v; return p; }
};

// Raised by a property setter for a value it cannot take (wrong kind, unknown
// enumeration name, handler of another signature); the layout reader adds where.
ZF_EXCEPTION_CLASS(EPropertyError, Exception);

using TPropertySetter = std::function<void(TObject&, const TPropertyValue&)>;
// Produces a handler bound to `self` (the root object of a layout) as std::any.
using THandlerFactory = std::function<std::any(TObject& self)>;
// Stores `component` into a field of `self`; false when the field's type does not fit.
using TFieldSetter = std::function<bool(TObject& self, TComponent* component)>;
using TComponentFactory = std::function<TComponent*(TComponent* owner)>;

// Class information: name, ancestor, how to create one (for streaming) and its
// published properties, fields and handlers, each looked up along the ancestors.
class TClassInfo {
public:
  TClassInfo(std::string name, const TClassInfo* parent) : FName(std::move(name)), FParent(parent) {}
  const std::string& Name() const { return FName; }
  const TClassInfo* Parent() const { return FParent; }
  bool InheritsFrom(const TClassInfo& other) const;

  const TPropertySetter* FindProperty(const std::string& name) const;
  const THandlerFactory* FindHandler(const std::string& name) const;
  const TFieldSetter* FindField(const std::string& name) const;

  TComponentFactory Factory;  // empty: not creatable from a layout
  std::map<std::string, TPropertySetter, std::less<>> Properties;
  std::map<std::string, THandlerFactory, std::less<>> Handlers;
  std::map<std::string, TFieldSetter, std::less<>> Fields;

private:
  std::string FName;
  const TClassInfo* FParent;
};

// Classes that layouts may name, by class name (case-insensitive).
void RegisterClass(const TClassInfo& info);
// The same routine under the name that windows.h's RegisterClass macro gives it.
void RegisterClassA(const TClassInfo& info);
const TClassInfo* FindClass(const std::string& name);

class TObject {
public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
  static const TClassInfo& StaticClassInfo();
  virtual const TClassInfo& ClassInfo() const { return StaticClassInfo(); }
  const std::string& ClassName() const { return ClassInfo().Name(); }
};

class TPersistent : public TObject {
public:
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  // Copies `source` into this object; the default asks the source (AssignTo).
  virtual void Assign(const TPersistent* source);

protected:
  // Default: EConvertError "Cannot assign a <source> to a <dest>".
  virtual void AssignTo(TPersistent& dest) const;
  [[noreturn]] void AssignError(const TPersistent* source) const;
};

enum class TComponentStateFlag : uint8_t { csLoading = 1, csReading = 2, csDesigning = 4, csDestroying = 8 };
struct TComponentState {
  uint8_t bits = 0;
  bool Has(TComponentStateFlag f) const { return bits & static_cast<uint8_t>(f); }
  void Include(TComponentStateFlag f) { bits |= static_cast<uint8_t>(f); }
  void Exclude(TComponentStateFlag f) { bits &= static_cast<uint8_t>(~static_cast<uint8_t>(f)); }
};
constexpr TComponentStateFlag csLoading = TComponentStateFlag::csLoading;
constexpr TComponentStateFlag csReading = TComponentStateFlag::csReading;
constexpr TComponentStateFlag csDesigning = TComponentStateFlag::csDesigning;
constexpr TComponentStateFlag csDestroying = TComponentStateFlag::csDestroying;

// A component belongs to its owner, which frees it (last created first) when
// it is freed itself. Create owned components with MakeOwned; unowned ones
// live in a std::unique_ptr of their user.
class TComponent : public TPersistent {
public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(std::string name) { FName = std::move(name); }
  TComponentState ComponentState() const { return FState; }
  void SetDesigning(bool on);  // also for the owned components, as the designer does
  void SetLoading(bool on);

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int index) const { return FComponents.at(static_cast<size_t>(index)).get(); }
  TComponent* FindComponent(const std::string& name) const;  // case-insensitive

  // Takes ownership of a component created with this object as its owner.
  TComponent* InsertComponent(std::unique_ptr<TComponent> c);
  // Frees an owned component now instead of with the owner.
  void FreeComponent(TComponent* c);
  // Frees every owned component now (last created first), as the destructor does.
  void DestroyComponents();
  // Called once the layout reader has set every stored property.
  virtual void Loaded() {}
  // The layout reader's enclosing object for a child (controls take it as parent).
  virtual void SetParentComponent(TComponent* parent) { (void)parent; }

private:
  TComponent* FOwner;
  std::string FName;
  TComponentState FState;
  std::vector<std::unique_ptr<TComponent>> FComponents;
};

template <class T, class... A>
T* MakeOwned(TComponent* owner, A&&... args) {
  static_assert(std::is_base_of_v<TComponent, T>);
  auto p = std::make_unique<T>(owner, std::forward<A>(args)...);
  T* raw = p.get();
  if (owner) {
    owner->InsertComponent(std::move(p));
  } else {
    // Without an owner the caller must hold it: use std::make_unique instead.
    throw EComponentError("MakeOwned needs an owner");
  }
  return raw;
}

// Fills a class's information: MakeClassInfo<TFoo, TBar>("TFoo", [](auto& c){ ... }).
// The binder's helpers turn layout values into calls of typed setters.
template <class C>
class TPublisher {
public:
  explicit TPublisher(TClassInfo& info) : FInfo(info) {}
  TClassInfo& Info() { return FInfo; }

  template <class V>
  void Integer(const std::string& name, void (C::*set)(V)) {
    FInfo.Properties[name] = [set](TObject& o, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::Integer) throw EPropertyError("Invalid property value");
      (static_cast<C&>(o).*set)(static_cast<V>(v.Int));
    };
  }
  void String(const std::string& name, void (C::*set)(const std::string&)) {
    FInfo.Properties[name] = [set](TObject& o, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::String) throw EPropertyError("Invalid property value");
      (static_cast<C&>(o).*set)(v.Str);
    };
  }
  void Boolean(const std::string& name, void (C::*set)(bool)) {
    FInfo.Properties[name] = [set](TObject& o, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::Boolean) throw EPropertyError("Invalid property value");
      (static_cast<C&>(o).*set)(v.Int != 0);
    };
  }
  template <class E>
  void Enum(const std::string& name, void (C::*set)(E), const TEnumInfo& type) {
    FInfo.Properties[name] = [set, &type](TObject& o, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::Ident) throw EPropertyError("Invalid property value");
      int ord = type.ValueOf(v.Str);
      if (ord < 0) throw EPropertyError("Invalid property value '" + v.Str + "' for " + std::string(type.TypeName()));
      (static_cast<C&>(o).*set)(static_cast<E>(ord));
    };
  }
  // A set of enumeration values: the setter gets bit (1 << ordinal) per element.
  template <class V>
  void Set(const std::string& name, void (C::*set)(V), const TEnumInfo& type) {
    FInfo.Properties[name] = [set, &type](TObject& o, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::Set) throw EPropertyError("Invalid property value");
      uint32_t bits = 0;
      for (const std::string& e : v.Items) {
        int ord = type.ValueOf(e);
        if (ord < 0 || ord >= 32) throw EPropertyError("Invalid property value '" + e + "' for " + std::string(type.TypeName()));
        bits |= 1u << ord;
      }
      (static_cast<C&>(o).*set)(static_cast<V>(bits));
    };
  }
  // A string list: the getter returns the list object, which takes the lines.
  template <class L>
  void Strings(const std::string& name, L& (C::*get)()) {
    FInfo.Properties[name] = [get](TObject& o, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::List) throw EPropertyError("Invalid property value");
      (static_cast<C&>(o).*get)().Assign(v.Items);
    };
  }
  // Binary data ({...} in a layout), as raw bytes.
  void Binary(const std::string& name, void (C::*set)(const std::string&)) {
    FInfo.Properties[name] = [set](TObject& o, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::Binary) throw EPropertyError("Invalid property value");
      (static_cast<C&>(o).*set)(v.Str);
    };
  }
  // A property with its own conversion of the value.
  void Custom(const std::string& name, std::function<void(C&, const TPropertyValue&)> set) {
    FInfo.Properties[name] = [set = std::move(set)](TObject& o, const TPropertyValue& v) { set(static_cast<C&>(o), v); };
  }
  // A property that layouts may carry and that does nothing here.
  void Ignored(const std::string& name) {
    FInfo.Properties[name] = [](TObject&, const TPropertyValue&) {};
  }
  // An event property: the layout names a handler of its root object.
  template <class Ev>
  void Event(const std::string& name, void (C::*set)(Ev)) {
    using Plain = std::decay_t<Ev>;
    FInfo.Properties[name] = [set](TObject& o, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::Method) throw EPropertyError("Invalid property value");
      const Plain* h = std::any_cast<Plain>(&v.Method);
      if (!h) throw EPropertyError("Handler '" + v.HandlerName + "' does not fit the event");
      (static_cast<C&>(o).*set)(*h);
    };
  }
  // A handler method that layouts may bind to events, by name.
  template <class Ev, class M>
  void Handler(const std::string& name, M method) {
    FInfo.Handlers[name] = [method](TObject& self) -> std::any {
      C* c = &static_cast<C&>(self);
      return Ev([c, method](auto&&... args) { (c->*method)(std::forward<decltype(args)>(args)...); });
    };
  }
  // A field that receives the component of that name when a layout creates it.
  template <class T>
  void Field(const std::string& name, T* C::*field) {
    FInfo.Fields[name] = [field](TObject& self, TComponent* comp) {
      if (!comp) {  // cleared again when a layout read fails
        static_cast<C&>(self).*field = nullptr;
        return true;
      }
      T* t = dynamic_cast<T*>(comp);
      if (!t) return false;
      static_cast<C&>(self).*field = t;
      return true;
    };
  }
  // Makes the class creatable from a layout.
  void Creatable() {
    FInfo.Factory = [](TComponent* owner) -> TComponent* { return MakeOwned<C>(owner); };
  }

private:
  TClassInfo& FInfo;
};

template <class C, class Parent, class F>
const TClassInfo& MakeClassInfo(const char* name, F&& fill) {
  static TClassInfo info(name, &Parent::StaticClassInfo());
  static const bool once = [&] {
    TPublisher<C> pub(info);
    fill(pub);
    return true;
  }();
  (void)once;
  return info;
}

}  // namespace zf
