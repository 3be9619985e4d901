// Object base and class metadata, object freeing, and the class registry.
#include "rtl/System.h"

#include "rtl/SysUtils.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

TClass TObject::StaticClass() noexcept {
  static const TClassInfo info = [] {
    TClassInfo i;
    i.Name = "TObject";
    i.DefaultFactory = []() -> TObject* { return new TObject(); };
    return i;
  }();
  return &info;
}

bool TClassInfo::InheritsFrom(TClass cls) const noexcept {
  if (!cls) return false;
  for (TClass c = this; c; c = c->Parent)
    if (c == cls) return true;
  return false;
}

TObject* TClassInfo::Create(TObject* owner) const {
  if (OwnerFactory) return OwnerFactory(owner);
  if (DefaultFactory) {
    if (owner) throw EInvalidOperation(Format("Class %s cannot be created with an owner", Name));
    return DefaultFactory();
  }
  throw EInvalidOperation(Format("Cannot create an instance of %s", Name));
}

void rtl::detail::BadOwner(const char* className, const TObject* owner) {
  throw EInvalidCast(Format("Cannot create %s with an owner of class %s", className, owner->ClassName()));
}

void FreeObject(TObject* obj) noexcept {
  if (!obj) return;
  try {
    obj->BeforeDestruction();
  } catch (...) {
    // Destruction goes on regardless: nothing may escape a free.
  }
  delete obj;
}

namespace {

struct Registry {
  std::mutex lock;
  std::unordered_map<std::string, TClass> byName;
  std::vector<TClass> ordered;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

void RegisterClass(TClass cls) {
  if (!cls) throw EInvalidOperation("Cannot register a nil class");
  Registry& r = TheRegistry();
  std::lock_guard guard(r.lock);
  auto [it, inserted] = r.byName.emplace(cls->Name, cls);
  if (!inserted) {
    if (it->second == cls) return;
    throw EFilerError(Format("A class named %s already exists", cls->Name));
  }
  r.ordered.push_back(cls);
}

void RegisterClasses(std::initializer_list<TClass> classes) {
  for (TClass c : classes) RegisterClass(c);
}

void UnRegisterClass(TClass cls) {
  if (!cls) return;
  Registry& r = TheRegistry();
  std::lock_guard guard(r.lock);
  auto it = r.byName.find(cls->Name);
  if (it == r.byName.end() || it->second != cls) return;
  r.byName.erase(it);
  r.ordered.erase(std::remove(r.ordered.begin(), r.ordered.end(), cls), r.ordered.end());
}

TClass GetClass(const std::string& name) noexcept {
  Registry& r = TheRegistry();
  std::lock_guard guard(r.lock);
  auto it = r.byName.find(name);
  return it == r.byName.end() ? nullptr : it->second;
}

TClass FindClass(const std::string& name) {
  TClass cls = GetClass(name);
  if (!cls) throw EClassNotFound(Format("Class %s not found", name));
  return cls;
}

std::vector<TClass> RegisteredClasses() {
  Registry& r = TheRegistry();
  std::lock_guard guard(r.lock);
  return r.ordered;
}
