// Object base, class metadata and the class registry.
//
// Every class that takes part in the object model derives from TObject and declares its metadata
// with RTL_CLASS(Self, Parent) as the first line of its body. That one declaration gives
//   - Self::StaticClass()   the class's metaclass record (TClass),
//   - ClassType()           the dynamic metaclass of an object,
//   - ClassName()           the exact class name, e.g. "TGLCube" (never typeid),
//   - inherited             an alias of Parent, for calls like inherited::Assign(Source).
// The metaclass record also carries the class's factory (its "virtual constructor"):
//   - a class with a public default constructor can be created with TClassInfo::Create();
//   - a class whose constructor takes an owner names the owner type once with
//     `using OwnerType = TSomething;` (TComponent does it for all components: OwnerType is
//     TComponent; TCollectionItem: TCollection); RTL_CLASS then records a factory
//     Create(owner) that calls `new Self(static_cast<OwnerType*>(owner))`.
//   - abstract classes get no factory; creating one raises EInvalidOperation.
//
// Registry: classes are registered explicitly (RegisterClass) by each unit's registration function;
// there is no registration from static initialisers. Lookups are by exact, case-sensitive name.
// The registry is guarded by a mutex; metaclass records are immutable and live for the program.
//
// Extension: other layers keep side tables keyed by TClass (the record's address is stable and
// unique per class), e.g. the published properties of the streaming layer.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

class TObject;
class TComponent;
struct TClassInfo;

// A metaclass: a pointer to the class's immutable record.
using TClass = const TClassInfo*;

struct TClassInfo {
  std::string Name;         // exact class name
  TClass Parent = nullptr;  // nullptr only for TObject
  // Factories; nullptr when the class cannot be created that way.
  TObject* (*DefaultFactory)() = nullptr;
  TObject* (*OwnerFactory)(TObject* owner) = nullptr;

  const std::string& ClassName() const noexcept { return Name; }
  TClass ClassParent() const noexcept { return Parent; }
  // True when this class is `cls` or derives from it. nullptr gives false.
  bool InheritsFrom(TClass cls) const noexcept;
  // Creates an instance. With an owner factory the owner is passed (it may be nullptr and must
  // be of the class's OwnerType, else EInvalidCast); otherwise the default constructor is used
  // and a non-null owner is refused (EInvalidOperation). Abstract classes raise
  // EInvalidOperation "Cannot create an instance of <name>".
  TObject* Create(TObject* owner = nullptr) const;
};

namespace rtl::detail {

template <class T, class = void>
struct OwnerTypeOf {
  using type = void;
};
template <class T>
struct OwnerTypeOf<T, std::void_t<typename T::OwnerType>> {
  using type = typename T::OwnerType;
};

// Raises EInvalidCast for an owner of the wrong class (defined in System.cpp).
[[noreturn]] void BadOwner(const char* className, const TObject* owner);

template <class Self>
TClassInfo MakeClassInfo(const char* name, TClass parent) {
  TClassInfo info;
  info.Name = name;
  info.Parent = parent;
  if constexpr (!std::is_abstract_v<Self>) {
    if constexpr (std::is_default_constructible_v<Self>) info.DefaultFactory = []() -> TObject* { return new Self(); };
    using Owner = typename OwnerTypeOf<Self>::type;
    if constexpr (!std::is_void_v<Owner>) {
      if constexpr (std::is_constructible_v<Self, Owner*>) {
        info.OwnerFactory = [](TObject* owner) -> TObject* {
          Owner* typed = nullptr;
          if (owner) {
            typed = dynamic_cast<Owner*>(owner);
            if (!typed) BadOwner(Self::StaticClass()->Name.c_str(), owner);
          }
          return new Self(typed);
        };
      }
    }
  }
  return info;
}

}  // namespace rtl::detail

// Declares a class's metadata; put it first in the class body. Leaves the access at private.
#define RTL_CLASS(Self, Parent)                                                                      \
 public:                                                                                             \
  using inherited = Parent;                                                                          \
  static TClass StaticClass() noexcept {                                                             \
    static const TClassInfo info = ::rtl::detail::MakeClassInfo<Self>(#Self, Parent::StaticClass()); \
    return &info;                                                                                    \
  }                                                                                                  \
  TClass ClassType() const noexcept override { return Self::StaticClass(); }                         \
                                                                                                     \
 private:

// Root of the object model. Copying is left to each class (components are not copyable;
// exceptions are).
class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = default;
  TObject& operator=(const TObject&) = default;
  virtual ~TObject() = default;

  static TClass StaticClass() noexcept;
  virtual TClass ClassType() const noexcept { return StaticClass(); }
  // The exact class name of the dynamic class.
  const std::string& ClassName() const noexcept { return ClassType()->Name; }
  bool ClassNameIs(const std::string& name) const noexcept { return ClassName() == name; }
  TClass ClassParent() const noexcept { return ClassType()->Parent; }
  bool InheritsFrom(TClass cls) const noexcept { return ClassType()->InheritsFrom(cls); }
  // `obj->Is<TFoo>()`: the object is a TFoo or derives from it (by metaclass, not RTTI).
  template <class T>
  bool Is() const noexcept {
    return InheritsFrom(T::StaticClass());
  }

  // Called by FreeAndNil and by owners just before they delete an object. TComponent uses it to
  // mark itself destroying before any destructor runs. A plain `delete` skips it.
  virtual void BeforeDestruction() {}
};

// Deletes an object the way owners do (BeforeDestruction, then delete). nullptr is ignored.
void FreeObject(TObject* obj) noexcept;

// Sets the pointer to nullptr first, then frees the object (so notifications that fire during
// destruction already see the cleared reference). Works for any class; TObject-derived classes
// get BeforeDestruction.
template <class T>
void FreeAndNil(T*& ptr) noexcept {
  T* obj = ptr;
  ptr = nullptr;
  if constexpr (std::is_base_of_v<TObject, T>)
    FreeObject(obj);
  else
    delete obj;
}

// Class registry (thread-safe). Registering the same class again is a no-op; registering a
// different class under a name already taken raises EFilerError "A class named <name> already
// exists". FindClass raises EClassNotFound "Class <name> not found"; GetClass returns nullptr.
void RegisterClass(TClass cls);
void RegisterClasses(std::initializer_list<TClass> classes);
void UnRegisterClass(TClass cls);
TClass GetClass(const std::string& name) noexcept;
TClass FindClass(const std::string& name);
// All registered classes in registration order (a snapshot).
std::vector<TClass> RegisteredClasses();

// A small set of enumeration values (up to 64 members, values 0..63), for the many
// "set of" flags of the object model (component state and the like).
template <class E>
class TSet {
 public:
  constexpr TSet() noexcept = default;
  constexpr TSet(std::initializer_list<E> values) noexcept {
    for (E v : values) bits_ |= Bit(v);
  }
  static constexpr TSet FromBits(std::uint64_t bits) noexcept {
    TSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr std::uint64_t Bits() const noexcept { return bits_; }

  constexpr bool Contains(E v) const noexcept { return (bits_ & Bit(v)) != 0; }
  constexpr bool Empty() const noexcept { return bits_ == 0; }
  constexpr TSet& Include(E v) noexcept {
    bits_ |= Bit(v);
    return *this;
  }
  constexpr TSet& Exclude(E v) noexcept {
    bits_ &= ~Bit(v);
    return *this;
  }

  constexpr TSet operator+(TSet o) const noexcept { return FromBits(bits_ | o.bits_); }
  constexpr TSet operator-(TSet o) const noexcept { return FromBits(bits_ & ~o.bits_); }
  constexpr TSet operator*(TSet o) const noexcept { return FromBits(bits_ & o.bits_); }
  constexpr TSet operator+(E v) const noexcept { return FromBits(bits_ | Bit(v)); }
  constexpr TSet operator-(E v) const noexcept { return FromBits(bits_ & ~Bit(v)); }
  constexpr TSet& operator+=(TSet o) noexcept {
    bits_ |= o.bits_;
    return *this;
  }
  constexpr TSet& operator-=(TSet o) noexcept {
    bits_ &= ~o.bits_;
    return *this;
  }
  constexpr TSet& operator+=(E v) noexcept { return Include(v); }
  constexpr TSet& operator-=(E v) noexcept { return Exclude(v); }
  constexpr bool operator==(const TSet&) const noexcept = default;
  // Subset test: every member of this set is in `o`.
  constexpr bool operator<=(TSet o) const noexcept { return (bits_ & ~o.bits_) == 0; }

 private:
  static constexpr std::uint64_t Bit(E v) noexcept { return std::uint64_t{1} << static_cast<unsigned>(v); }
  std::uint64_t bits_ = 0;
};
