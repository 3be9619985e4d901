// The tagged value encoding, published-property access, and the writer and reader of component
// streams.
#include "rtl/Streaming.h"

#include "rtl/SysUtils.h"

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_set>

// ---------------------------------------------------------------------------------------------
// Encoding

namespace ValueEncoding {

namespace {

const char* const kReadError = "Stream read error";

void PutLE(TStream& S, std::uint32_t v, int bytes) {
  std::uint8_t b[4];
  for (int i = 0; i < bytes; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
  WriteExact(S, b, bytes);
}

std::uint32_t GetLE(TStream& S, int bytes) {
  std::uint8_t b[4] = {};
  ReadExact(S, b, bytes);
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= std::uint32_t(b[i]) << (8 * i);
  return v;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::int64_t ReadLength(TStream& S, int UnitSize) {
  std::int32_t n = static_cast<std::int32_t>(GetLE(S, 4));
  if (n < 0) throw EReadError(kReadError);
  NeedBytes(S, std::int64_t(n) * UnitSize);
  return n;
}

void WriteLength(TStream& S, std::int32_t Length) { PutLE(S, static_cast<std::uint32_t>(Length), 4); }

std::int64_t BytesLeft(TStream& S) {
  std::int64_t left = S.Size() - S.Position();
  return left < 0 ? 0 : left;
}

void NeedBytes(TStream& S, std::int64_t Count) {
  if (Count < 0 || Count > BytesLeft(S)) throw EReadError(kReadError);
}

void ReadExact(TStream& S, void* Buffer, std::int64_t Count) {
  if (Count <= 0) return;
  if (S.Read(Buffer, Count) != Count) throw EReadError(kReadError);
}

void WriteExact(TStream& S, const void* Buffer, std::int64_t Count) {
  if (Count > 0) S.WriteBuffer(Buffer, Count);
}

TValueType ReadTag(TStream& S) {
  std::uint8_t b = 0;
  ReadExact(S, &b, 1);
  return static_cast<TValueType>(b);
}

TValueType PeekTag(TStream& S) {
  TValueType t = ReadTag(S);
  S.Seek(-1, soCurrent);
  return t;
}

void WriteTag(TStream& S, TValueType Tag) {
  std::uint8_t b = Tag;
  WriteExact(S, &b, 1);
}

bool IsIntegerTag(TValueType Tag) noexcept { return Tag == vaInt8 || Tag == vaInt16 || Tag == vaInt32; }

bool IsStringTag(TValueType Tag) noexcept {
  return Tag == vaString || Tag == vaLString || Tag == vaWString || Tag == vaUTF8String;
}

void WriteInteger(TStream& S, std::int32_t Value) {
  if (Value >= -128 && Value <= 127) {
    WriteTag(S, vaInt8);
    PutLE(S, static_cast<std::uint32_t>(Value), 1);
  } else if (Value >= -32768 && Value <= 32767) {
    WriteTag(S, vaInt16);
    PutLE(S, static_cast<std::uint32_t>(Value), 2);
  } else {
    WriteTag(S, vaInt32);
    PutLE(S, static_cast<std::uint32_t>(Value), 4);
  }
}

void WriteFloat(TStream& S, double Value) {
  std::uint8_t b[10];
  DoubleToExtended(Value, b);
  WriteTag(S, vaExtended);
  WriteExact(S, b, 10);
}

void WriteString(TStream& S, std::string_view Value) {
  if (Value.size() <= 255) {
    WriteTag(S, vaString);
    PutLE(S, static_cast<std::uint32_t>(Value.size()), 1);
  } else {
    if (Value.size() > 0x7FFFFFFF) throw EWriteError("Stream write error");
    WriteTag(S, vaLString);
    PutLE(S, static_cast<std::uint32_t>(Value.size()), 4);
  }
  WriteExact(S, Value.data(), static_cast<std::int64_t>(Value.size()));
}

void WriteBoolean(TStream& S, bool Value) { WriteTag(S, Value ? vaTrue : vaFalse); }

void WriteShortString(TStream& S, std::string_view Value) {
  // A cut name would be read back as another one.
  if (Value.size() > 255) throw EWriteError("Stream write error");
  PutLE(S, static_cast<std::uint32_t>(Value.size()), 1);
  WriteExact(S, Value.data(), static_cast<std::int64_t>(Value.size()));
}

std::string ReadShortString(TStream& S) {
  std::uint32_t n = GetLE(S, 1);
  std::string s(n, '\0');
  ReadExact(S, s.data(), n);
  return s;
}

std::int32_t ReadIntegerPayload(TStream& S, TValueType Tag) {
  switch (Tag) {
    case vaInt8: return static_cast<std::int8_t>(GetLE(S, 1));
    case vaInt16: return static_cast<std::int16_t>(GetLE(S, 2));
    case vaInt32: return static_cast<std::int32_t>(GetLE(S, 4));
    default: throw EReadError(kReadError);
  }
}

double ReadFloatPayload(TStream& S) {
  std::uint8_t b[10];
  ReadExact(S, b, 10);
  return ExtendedToDouble(b);
}

std::string ReadStringPayload(TStream& S, TValueType Tag) {
  switch (Tag) {
    case vaString:
    case vaIdent: return ReadShortString(S);
    case vaLString: {
      std::int64_t n = ReadLength(S, 1);
      std::string s(static_cast<std::size_t>(n), '\0');
      ReadExact(S, s.data(), n);
      return s;
    }
    case vaWString: {
      std::int64_t n = ReadLength(S, 2);
      std::string raw(static_cast<std::size_t>(n * 2), '\0');
      ReadExact(S, raw.data(), n * 2);
      std::u16string text(static_cast<std::size_t>(n), u'\0');
      for (std::int64_t i = 0; i < n; ++i)
        text[i] = static_cast<char16_t>(std::uint8_t(raw[2 * i]) | (std::uint8_t(raw[2 * i + 1]) << 8));
      return Utf16ToUtf8(text);
    }
    case vaUTF8String: {
      std::int64_t n = ReadLength(S, 1);
      std::string raw(static_cast<std::size_t>(n), '\0');
      ReadExact(S, raw.data(), n);
      return DecodeUtf8Payload(raw);
    }
    default: throw EReadError(kReadError);
  }
}

static_assert(LDBL_MANT_DIG == 64, "the 80-bit extended form needs the x87 long double");

void DoubleToExtended(double Value, std::uint8_t (&Bytes)[10]) noexcept {
  long double x = Value;
  std::uint8_t raw[sizeof(long double)] = {};
  std::memcpy(raw, &x, sizeof x);
  std::memcpy(Bytes, raw, 10);
}

double ExtendedToDouble(const std::uint8_t (&Bytes)[10]) noexcept {
  std::uint8_t raw[sizeof(long double)] = {};
  std::memcpy(raw, Bytes, 10);
  long double x;
  std::memcpy(&x, raw, sizeof x);
  return static_cast<double>(x);
}

std::string DecodeUtf8Payload(std::string_view Bytes) {
  std::string out;
  out.reserve(Bytes.size());
  std::size_t i = 0, n = Bytes.size();
  while (i < n) {
    std::uint8_t b = static_cast<std::uint8_t>(Bytes[i]);
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    int extra;
    std::uint32_t v;
    if (b < 0xC0) {
      out += '?';
      ++i;
      continue;
    } else if (b < 0xE0) {
      extra = 1;
      v = b & 0x1F;
    } else if (b < 0xF0) {
      extra = 2;
      v = b & 0x0F;
    } else if (b < 0xF8) {
      extra = 3;
      v = b & 0x07;
    } else if (b < 0xFC) {
      extra = 4;
      v = b & 0x03;
    } else {
      extra = 5;
      v = b & 0x01;
    }
    int k = 1;
    for (; k <= extra; ++k) {
      if (i + k >= n || (static_cast<std::uint8_t>(Bytes[i + k]) & 0xC0) != 0x80) break;
      v = (v << 6) | (static_cast<std::uint8_t>(Bytes[i + k]) & 0x3F);
    }
    if (k <= extra) {  // truncated or broken sequence: one '?' for what was consumed
      out += '?';
      i += k;
      continue;
    }
    i += extra + 1;
    if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
      out += '?';
    else
      AppendUtf8(out, v);
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& Text) {
  std::string out;
  out.reserve(Text.size());
  for (std::size_t i = 0; i < Text.size(); ++i) {
    std::uint32_t c = Text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 && Text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (Text[i + 1] - 0xDC00u);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      out += '?';
      continue;
    }
    AppendUtf8(out, c);
  }
  return out;
}

}  // namespace ValueEncoding

// ---------------------------------------------------------------------------------------------
// Published properties

namespace {

std::mutex& PropLock() {
  static std::mutex m;
  return m;
}

std::map<TClass, std::vector<TPropInfo>>& PropTable() {
  static std::map<TClass, std::vector<TPropInfo>> table;
  return table;
}

std::map<TClass, std::vector<TStoredDefault>>& DefaultTable() {
  static std::map<TClass, std::vector<TStoredDefault>> table;
  return table;
}

// Nesting limit for stored children, sub-objects and skipped lists, so that hostile input
// cannot exhaust the stack.
constexpr int kMaxDepth = 200;

EReadError TooDeep() { return EReadError("Stream read error"); }

}  // namespace

void RegisterPublishedProperties(TClass Class, std::vector<TPropInfo> Properties) {
  std::lock_guard lock(PropLock());
  // Entries are never erased, so TPropInfo pointers stay valid.
  auto& own = PropTable()[Class];
  for (auto& p : Properties) {
    bool replaced = false;
    for (auto& q : own)
      if (SameText(q.Name, p.Name)) {
        q = std::move(p);
        replaced = true;
        break;
      }
    if (!replaced) own.push_back(std::move(p));
  }
}

void RegisterStoredDefaults(TClass Class, std::vector<TStoredDefault> Defaults) {
  std::lock_guard lock(PropLock());
  // Units register before anything is streamed; a repeated registration replaces in place.
  auto& own = DefaultTable()[Class];
  for (auto& d : Defaults) {
    auto same = std::find_if(own.begin(), own.end(), [&](const TStoredDefault& e) { return SameText(e.Path, d.Path); });
    if (same != own.end())
      *same = std::move(d);
    else
      own.push_back(std::move(d));
  }
}

const TStoredDefault* FindStoredDefault(TClass Class, std::string_view Path) {
  std::lock_guard lock(PropLock());
  for (TClass c = Class; c; c = c->Parent) {
    auto found = DefaultTable().find(c);
    if (found == DefaultTable().end()) continue;
    for (const TStoredDefault& d : found->second)
      if (SameText(d.Path, Path)) return &d;
  }
  return nullptr;
}

bool HoldsStoredDefault(TObject* Instance, const TPropInfo& P, TClass Owner, std::string_view Path) {
  const TStoredDefault* restated = Owner ? FindStoredDefault(Owner, Path) : nullptr;
  if (!restated && !P.HasDefault) return false;
  switch (P.Kind) {
    case pkInteger:
    case pkBoolean:
    case pkEnum:
    case pkSet: return P.GetOrd(Instance) == (restated ? restated->Ord : P.OrdDefault);
    case pkFloat: {
      double d = P.FloatDefault;
      if (restated) d = P.Single ? double(float(restated->Float)) : restated->Float;
      return P.GetFloat(Instance) == d;
    }
    case pkString: return P.GetStr(Instance) == (restated ? restated->Str : P.StrDefault);
    default: return false;
  }
}

std::vector<const TPropInfo*> GetPublishedProperties(TClass Class) {
  std::vector<TClass> chain;
  for (TClass c = Class; c; c = c->Parent) chain.push_back(c);
  std::vector<const TPropInfo*> out;
  std::lock_guard lock(PropLock());
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    auto found = PropTable().find(*it);
    if (found == PropTable().end()) continue;
    for (const TPropInfo& p : found->second) out.push_back(&p);
  }
  return out;
}

const TPropInfo* FindPublishedProperty(TClass Class, std::string_view Name) {
  const TPropInfo* match = nullptr;
  for (const TPropInfo* p : GetPublishedProperties(Class))
    if (SameText(p->Name, Name)) match = p;  // a descendant's redeclaration wins
  return match;
}

// ---------------------------------------------------------------------------------------------
// Filer

namespace {

// TComponent publishes Tag; its name travels in each component's header instead.
void DeclareComponentProperties() { TPublished<TComponent>().Integer("Tag", &TComponent::Tag, &TComponent::SetTag, 0); }

}  // namespace

void InstallComponentStreaming() noexcept {
  static std::once_flag declared;
  std::call_once(declared, DeclareComponentProperties);
  TComponentStreamProcs procs;
  procs.ReadState = [](TComponent* Instance, TReader* Reader) { Reader->ReadData(Instance); };
  procs.WriteState = [](TComponent* Instance, TWriter* Writer) { Writer->WriteData(Instance); };
  SetComponentStreamProcs(procs);
}

TFiler::TFiler(TStream* Stream) : stream_(Stream) {
  RTL_ASSERT(Stream != nullptr);
  InstallComponentStreaming();
}

// ---------------------------------------------------------------------------------------------
// Writer

namespace {

// Every component written with Root: it and its stored children, depth first.
void CollectWritten(TComponent* Component, TComponent* Root, std::vector<TComponent*>& Out, int Depth) {
  if (Depth > kMaxDepth) throw EWriteError("Stream write error");
  Out.push_back(Component);
  Component->GetChildren([&](TComponent* Child) { CollectWritten(Child, Root, Out, Depth + 1); }, Root);
}

// How texts name a component: its name, or its class when it has none.
std::string ComponentLabel(TComponent* Component) {
  return Component->Name().empty() ? Component->ClassName() : Component->Name();
}

}  // namespace

TWriter::TWriter(TStream* Stream) : TFiler(Stream) {}

void TWriter::WriteInteger(std::int32_t Value) { ValueEncoding::WriteInteger(*stream_, Value); }
void TWriter::WriteBoolean(bool Value) { ValueEncoding::WriteBoolean(*stream_, Value); }
void TWriter::WriteString(std::string_view Value) { ValueEncoding::WriteString(*stream_, Value); }
void TWriter::WriteFloat(double Value) { ValueEncoding::WriteFloat(*stream_, Value); }
void TWriter::WriteListBegin() { WriteValue(vaList); }
void TWriter::WriteListEnd() { WriteValue(vaNull); }
void TWriter::WriteValue(TValueType Tag) { ValueEncoding::WriteTag(*stream_, Tag); }
void TWriter::Write(const void* Buffer, std::int64_t Count) { ValueEncoding::WriteExact(*stream_, Buffer, Count); }
void TWriter::WriteStr(std::string_view Value) { ValueEncoding::WriteShortString(*stream_, Value); }

void TWriter::WriteIdent(std::string_view Ident) {
  if (SameText(Ident, "False"))
    WriteValue(vaFalse);
  else if (SameText(Ident, "True"))
    WriteValue(vaTrue);
  else if (SameText(Ident, "nil"))
    WriteValue(vaNil);
  else {
    WriteValue(vaIdent);
    WriteStr(Ident);
  }
}

void TWriter::WriteRootComponent(TComponent* ARoot) {
  RTL_ASSERT(ARoot != nullptr);
  root_ = ARoot;
  leftOut_.clear();
  std::vector<TComponent*> written;
  CollectWritten(ARoot, root_, written, 0);
  written_ = std::unordered_set<TComponent*>(written.begin(), written.end());
  TScopeExit done([this] { written_.clear(); });
  NameReferredComponents(written);
  Write("TPF0", 4);
  WriteComponent(ARoot);
}

void TWriter::WriteComponent(TComponent* Component) {
  TScopeExit writing([Component] { Component->ExcludeState(csWriting); });
  Component->IncludeState(csWriting);
  Component->WriteState(this);
}

void TWriter::WriteData(TComponent* Instance) {
  WriteStr(Instance->ClassName());
  WriteStr(Instance->Name());
  {
    TRestore where(where_, ComponentLabel(Instance) + ".");
    WriteProperties(Instance);
  }
  WriteListEnd();
  Instance->GetChildren([this](TComponent* Child) { WriteComponent(Child); }, root_);
  WriteListEnd();
}

void TWriter::WriteProperties(TPersistent* Instance) {
  // A component or collection item starts a new path; a sub-object continues its owner's.
  TRestore owner(pathOwner_, propPath_.empty() ? Instance->ClassType() : pathOwner_);
  for (const TPropInfo* p : GetPublishedProperties(Instance->ClassType())) WriteProperty(Instance, *p);
  Instance->DefineProperties(this);
}

// A reference is stored by name, so an unnamed component that is written and referred to is
// named before anything is written: its class name without the leading T and the first number
// free among its owner's components, the root's and the components written (which the reading
// root will own). Components that are not written are never renamed: references to them are
// left out (see ReferenceName).
void TWriter::NameReferredComponents(const std::vector<TComponent*>& Written) {
  std::vector<TComponent*> targets;
  for (TComponent* c : Written) {
    std::vector<TObject*> pending{c};
    while (!pending.empty()) {
      TObject* obj = pending.back();
      pending.pop_back();
      if (pending.size() > 100000) throw EWriteError("Stream write error");
      for (const TPropInfo* p : GetPublishedProperties(obj->ClassType())) {
        if (p->Stored && !p->Stored(obj)) continue;
        if (p->Kind == pkComponent) {
          auto* v = dynamic_cast<TComponent*>(p->GetObj(obj));
          if (v && v->Name().empty() && written_.count(v)) targets.push_back(v);
        } else if (p->Kind == pkObject) {
          TObject* sub = p->GetObj(obj);
          if (auto* coll = dynamic_cast<TCollection*>(sub)) {
            for (int i = 0; i < coll->Count(); ++i) pending.push_back(coll->Items(i));
          } else if (sub) {
            pending.push_back(sub);
          }
        }
      }
    }
  }
  if (targets.empty()) return;
  std::unordered_set<std::string> names;
  for (TComponent* c : Written)
    if (!c->Name().empty()) names.insert(UpperCase(c->Name()));
  auto taken = [&](TComponent* Target, const std::string& Name) {
    return names.count(UpperCase(Name)) || (Target->Owner() && Target->Owner()->FindComponent(Name)) ||
           root_->FindComponent(Name);
  };
  for (TComponent* t : targets) {
    if (!t->Name().empty()) continue;  // met twice
    std::string base = t->ClassName();
    if (base.size() > 1 && base[0] == 'T') base.erase(0, 1);
    int n = 1;
    while (taken(t, base + std::to_string(n))) ++n;
    t->SetName(base + std::to_string(n));
    names.insert(UpperCase(t->Name()));
  }
}

// Written with a root, a reference names what the reader finds under the root it reads into:
// a component written with the root by its name (the reader makes the root its owner), and one
// the root owns without writing it (made by the root's constructor, say) by its name, or by
// "Owner.Name" for one owned by such a component. Anything else lies outside what is written
// and gets no name: another scene's objects, a library or clock beside the scene.
std::string TWriter::ReferenceName(TComponent* Value) const {
  if (Value->Name().empty()) return {};
  if (!written_.empty()) {
    if (written_.count(Value) || Value->Owner() == root_) return Value->Name();
    TComponent* owner = Value->Owner();
    if (owner && !owner->Name().empty() && !written_.count(owner) && owner->Owner() == root_)
      return owner->Name() + "." + Value->Name();
    return {};
  }
  // A component written on its own.
  if (Value == root_ || Value->Owner() == root_ || !Value->Owner()) return Value->Name();
  if (Value->Owner()->Name().empty()) return {};
  return Value->Owner()->Name() + "." + Value->Name();
}

void TWriter::WriteProperty(TPersistent* Instance, const TPropInfo& P) {
  if (P.Stored && !P.Stored(Instance)) return;
  const std::string name = propPath_ + P.Name;
  switch (P.Kind) {
    case pkInteger:
    case pkBoolean:
    case pkEnum:
    case pkSet: {
      if (!snapshotRefs_ && HoldsStoredDefault(Instance, P, pathOwner_, name)) return;
      std::int64_t v = P.GetOrd(Instance);
      WriteStr(name);
      if (P.Kind == pkInteger)
        WriteInteger(static_cast<std::int32_t>(v));
      else if (P.Kind == pkBoolean)
        WriteBoolean(v != 0);
      else if (P.Kind == pkEnum) {
        if (v >= 0 && v < static_cast<std::int64_t>(P.Idents.size()))
          WriteIdent(P.Idents[static_cast<std::size_t>(v)]);
        else
          WriteInteger(static_cast<std::int32_t>(v));
      } else {
        WriteValue(vaSet);
        for (std::size_t i = 0; i < P.Idents.size() && i < 64; ++i)
          if (static_cast<std::uint64_t>(v) & (std::uint64_t{1} << i)) WriteStr(P.Idents[i]);
        WriteStr("");
      }
      break;
    }
    case pkFloat: {
      if (!snapshotRefs_ && HoldsStoredDefault(Instance, P, pathOwner_, name)) return;
      double v = P.GetFloat(Instance);
      WriteStr(name);
      WriteFloat(v);
      break;
    }
    case pkString: {
      if (!snapshotRefs_ && HoldsStoredDefault(Instance, P, pathOwner_, name)) return;
      std::string v = P.GetStr(Instance);
      WriteStr(name);
      WriteString(v);
      break;
    }
    case pkComponent: {
      auto* v = dynamic_cast<TComponent*>(P.GetObj(Instance));
      if (snapshotRefs_) {
        WriteStr(name);
        if (!v) {
          WriteValue(vaNil);
          return;
        }
        snapshotRefs_->push_back(v);
        WriteInteger(static_cast<std::int32_t>(snapshotRefs_->size() - 1));
        return;
      }
      if (!v) return;
      std::string ref = ReferenceName(v);
      if (ref.empty() && !written_.empty() && !written_.count(v)) {
        // Outside what is written: left out, so that it reads back as nil, and said so.
        leftOut_.push_back(Format("%s%s refers to %s, which is not written: left out", where_.c_str(), name.c_str(),
                                  v->Name().empty() ? ("an unnamed " + v->ClassName()).c_str()
                                                    : (v->Name() + " (" + v->ClassName() + ")").c_str()));
        return;
      }
      // Written components that are referred to were named before writing began; one that was
      // not (a reference set while writing) would read back as nothing.
      if (ref.empty())
        throw EWriteError(
            Format("Cannot store %s: the %s it refers to has no name", name.c_str(), v->ClassName().c_str()));
      WriteStr(name);
      WriteIdent(ref);
      break;
    }
    case pkEvent: break;  // handlers are bound in code
    case pkObject: {
      TObject* obj = P.GetObj(Instance);
      if (auto* coll = dynamic_cast<TCollection*>(obj)) {
        if (coll->Count() == 0 && !snapshotRefs_) return;
        WriteStr(name);
        TRestore where(where_, where_ + name);
        WriteCollection(coll);
      } else if (auto* sub = dynamic_cast<TPersistent*>(obj)) {
        std::string saved = propPath_;
        propPath_ = name + ".";
        try {
          WriteProperties(sub);
        } catch (...) {
          propPath_ = saved;
          throw;
        }
        propPath_ = saved;
      }
      break;
    }
  }
}

void TWriter::WriteCollection(TCollection* Value) {
  std::string saved = propPath_;
  propPath_.clear();
  try {
    WriteValue(vaCollection);
    const std::string where = where_;
    for (int i = 0; i < Value->Count(); ++i) {
      TRestore item(where_, Format("%s[%d].", where.c_str(), i));
      WriteListBegin();
      WriteProperties(Value->Items(i));
      WriteListEnd();
    }
    WriteListEnd();
  } catch (...) {
    propPath_ = saved;
    throw;
  }
  propPath_ = saved;
}

void TWriter::DefineProperty(const std::string& Name, const TReaderProc&, const TWriterProc& WriteData, bool HasData) {
  if (!HasData || !WriteData) return;
  WriteStr(propPath_ + Name);
  WriteData(this);
}

void TWriter::DefineBinaryProperty(const std::string& Name, const TStreamProc&, const TStreamProc& WriteData,
                                   bool HasData) {
  if (!HasData || !WriteData) return;
  TMemoryStream data;
  WriteData(&data);
  if (data.Size() > 0x7FFFFFFF) throw EWriteError("Stream write error");
  WriteStr(propPath_ + Name);
  WriteValue(vaBinary);
  const std::int32_t n = static_cast<std::int32_t>(data.Size());
  ValueEncoding::WriteLength(*stream_, n);
  Write(data.Memory(), n);
}

// ---------------------------------------------------------------------------------------------
// Reader

TReader::TReader(TStream* Stream) : TFiler(Stream) {}

void TReader::ReadTypeError() const { throw EReadError(ClassName() + ", read type error"); }

TValueType TReader::NextValue() { return ValueEncoding::PeekTag(*stream_); }
TValueType TReader::ReadValue() { return ValueEncoding::ReadTag(*stream_); }
bool TReader::EndOfList() { return NextValue() == vaNull; }

std::int32_t TReader::ReadInteger() {
  TValueType t = NextValue();
  if (!ValueEncoding::IsIntegerTag(t)) ReadTypeError();
  ReadValue();
  return ValueEncoding::ReadIntegerPayload(*stream_, t);
}

bool TReader::ReadBoolean() {
  TValueType t = NextValue();
  if (t != vaTrue && t != vaFalse) ReadTypeError();
  ReadValue();
  return t == vaTrue;
}

std::string TReader::ReadString() {
  TValueType t = NextValue();
  if (!ValueEncoding::IsStringTag(t)) ReadTypeError();
  ReadValue();
  return ValueEncoding::ReadStringPayload(*stream_, t);
}

double TReader::ReadFloat() {
  TValueType t = NextValue();
  if (t == vaExtended) {
    ReadValue();
    return ValueEncoding::ReadFloatPayload(*stream_);
  }
  if (ValueEncoding::IsIntegerTag(t)) return ReadInteger();
  ReadTypeError();
}

std::string TReader::ReadIdent() {
  switch (NextValue()) {
    case vaIdent: ReadValue(); return ReadStr();
    case vaFalse: ReadValue(); return "False";
    case vaTrue: ReadValue(); return "True";
    case vaNil: ReadValue(); return "nil";
    default: ReadTypeError();
  }
}

void TReader::ReadListBegin() {
  if (NextValue() != vaList) ReadTypeError();
  ReadValue();
}

void TReader::ReadListEnd() {
  if (NextValue() != vaNull) ReadTypeError();
  ReadValue();
}

void TReader::Read(void* Buffer, std::int64_t Count) { ValueEncoding::ReadExact(*stream_, Buffer, Count); }

std::string TReader::ReadStr() { return ValueEncoding::ReadShortString(*stream_); }

void TReader::SkipValue() {
  TNestingLevel depth(depth_, kMaxDepth, TooDeep);
  TValueType t = ReadValue();
  switch (t) {
    case vaNull:
    case vaFalse:
    case vaTrue:
    case vaNil: break;
    case vaList:
      while (!EndOfList()) SkipValue();
      ReadValue();
      break;
    case vaInt8:
    case vaInt16:
    case vaInt32: ValueEncoding::ReadIntegerPayload(*stream_, t); break;
    case vaExtended: ValueEncoding::ReadFloatPayload(*stream_); break;
    case vaString:
    case vaIdent:
    case vaLString:
    case vaWString:
    case vaUTF8String: ValueEncoding::ReadStringPayload(*stream_, t); break;
    case vaBinary: stream_->Seek(ValueEncoding::ReadLength(*stream_, 1), soCurrent); break;
    case vaSet:
      while (!ReadStr().empty()) {
      }
      break;
    case vaCollection:
      while (!EndOfList()) {
        if (ValueEncoding::IsIntegerTag(NextValue())) ReadInteger();
        ReadListBegin();
        while (!EndOfList()) {
          ReadStr();
          SkipValue();
        }
        ReadListEnd();
      }
      ReadValue();
      break;
    default: ReadTypeError();
  }
}

TComponent* TReader::ReadRootComponent(TComponent* ARoot) {
  char sig[4];
  Read(sig, 4);
  if (std::memcmp(sig, "TPF0", 4) != 0) throw EReadError("Invalid stream format");
  std::string className = ReadStr();
  std::string name = ReadStr();
  loaded_.clear();
  fixups_.clear();
  orders_.clear();
  orderKept_.clear();
  unresolved_.clear();
  if (!ARoot) {
    TClass cls = FindClass(className);
    if (!cls->InheritsFrom(TComponent::StaticClass())) throw EReadError("Invalid stream format");
    loaded_.emplace_back();
    loaded_.back().Component = ARoot = CreateComponent(cls, nullptr);
    loaded_.back().Created = true;
  } else {
    loaded_.emplace_back();
    loaded_.back().Component = ARoot;
  }
  TComponent* const saved = root_;
  root_ = ARoot;
  try {
    if (!loaded_.back().Created) KeepBefore(loaded_.back());
    ARoot->IncludeState(csLoading);
    ARoot->IncludeState(csReading);
    if (!name.empty() && (loaded_.back().Created || ARoot->Name().empty())) ARoot->SetName(name);
    ARoot->ReadState(this);
    ResolveFixups();
    for (Loading& e : loaded_) e.Component->ExcludeState(csReading);
    for (Loading& e : loaded_) e.Component->Loaded();
  } catch (...) {
    UnwindLoading();
    root_ = saved;
    throw;
  }
  loaded_.clear();
  orders_.clear();
  orderKept_.clear();
  return ARoot;
}

bool TReader::IsLoading(const TComponent* Component) const noexcept {
  for (const Loading& e : loaded_)
    if (e.Component == Component) return true;
  return false;
}

// Keeps the order of a parent's children before the read places a child under it or takes one
// from it (once per parent, the first time).
void TReader::KeepChildOrder(TComponent* Parent) {
  if (!Parent || !orderKept_.insert(Parent).second) return;
  ChildOrder order;
  order.Parent = Parent;
  Parent->GetChildren([&order](TComponent* Child) { order.Children.push_back(Child); }, root_);
  orders_.push_back(std::move(order));
}

// Puts the children that are under their parent again back in their order: placing a child under
// its parent puts it last, so from the first one out of place on they are placed again in the
// kept order, each after the others.
// Children the read made stay before them and are freed afterwards; parents it made are left
// alone.
void TReader::RestoreChildOrders(const std::vector<Loading>& Entries) noexcept {
  std::unordered_set<const TComponent*> created;
  for (const Loading& e : Entries)
    if (e.Created) created.insert(e.Component);
  for (const ChildOrder& o : orders_) {
    if (created.count(o.Parent)) continue;
    try {
      const std::unordered_set<TComponent*> before(o.Children.begin(), o.Children.end());
      std::vector<TComponent*> now;
      o.Parent->GetChildren(
          [&](TComponent* Child) {
            if (before.count(Child)) now.push_back(Child);
          },
          root_);
      const std::unordered_set<TComponent*> under(now.begin(), now.end());
      std::vector<TComponent*> kept;
      for (TComponent* c : o.Children)
        if (under.count(c)) kept.push_back(c);
      // Those already in their place at the front stay.
      std::size_t first = 0;
      while (first < kept.size() && kept[first] == now[first]) ++first;
      for (std::size_t i = first; i < kept.size(); ++i) {
        TComponent* c = kept[i];
        TComponent* owner = c->Owner();
        c->SetParentComponent(o.Parent);
        if (owner && c->Owner() != owner) owner->InsertComponent(c);
      }
    } catch (...) {
      // The error that stopped the read is the one reported.
    }
  }
}

// What a component that existed before the read was: its properties (every one, whatever its
// default), its parent, its owner and its name.
void TReader::KeepBefore(Loading& Entry) {
  TComponent* c = Entry.Component;
  Entry.BeforeName = c->Name();
  Entry.BeforeOwner = c->Owner();
  if (c->HasParent()) Entry.BeforeParent = c->GetParentComponent();
  Entry.Before = std::make_unique<TMemoryStream>();
  TWriter writer(Entry.Before.get());
  writer.root_ = root_;
  writer.snapshotRefs_ = &Entry.BeforeRefs;
  writer.WriteProperties(c);
  writer.WriteListEnd();
}

// Reads the kept properties back. The component is loading but not reading, so the limits on
// stored counts do not apply to what it held before.
void TReader::RestoreBefore(Loading& Entry) {
  TComponent* c = Entry.Component;
  c->IncludeState(csLoading);
  c->ExcludeState(csReading);
  if (Entry.Before) {
    Entry.Before->SetPosition(0);
    TReader reader(Entry.Before.get());
    reader.root_ = root_;
    reader.snapshotRefs_ = &Entry.BeforeRefs;
    reader.ReadProperties(c);
  }
  if (c->HasParent() && c->GetParentComponent() != Entry.BeforeParent) c->SetParentComponent(Entry.BeforeParent);
  // Placing a component under a parent may have taken it from its owner.
  if (Entry.BeforeOwner && c->Owner() != Entry.BeforeOwner) Entry.BeforeOwner->InsertComponent(c);
  if (c->Name() != Entry.BeforeName) c->SetName(Entry.BeforeName);
}

// After a failure: components that existed before get back what they were (last read first,
// while the references they may hold to new ones are still valid) and end their loading; then
// the new ones are freed, last made first, so that children go before their parents. Nothing is
// touched after that: a component that existed before and stays under a new parent (one that
// cannot be given its old place back) goes with it.
void TReader::UnwindLoading() noexcept {
  std::vector<Loading> entries;
  entries.swap(loaded_);
  fixups_.clear();
  for (Loading& e : entries) e.Component->ExcludeState(csReading);
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (it->Created) continue;
    try {
      RestoreBefore(*it);
    } catch (...) {
      // The error that stopped the read is the one reported; a kept state that cannot be read
      // back leaves what could be.
    }
  }
  RestoreChildOrders(entries);
  orders_.clear();
  orderKept_.clear();
  for (Loading& e : entries)
    if (!e.Created) e.Component->ExcludeState(csLoading);
  for (auto it = entries.rbegin(); it != entries.rend(); ++it)
    if (it->Created) FreeAndNil(it->Component);
}

TComponent* TReader::ReadComponent(TComponent* Parent) {
  TNestingLevel depth(depth_, kMaxDepth, TooDeep);
  std::string className = ReadStr();
  std::string name = ReadStr();
  TComponent* owner = root_ ? root_ : Parent;
  TComponent* comp = nullptr;
  if (owner && !name.empty()) {
    TComponent* existing = owner->FindComponent(name);
    if (existing && IsLoading(existing)) throw EReadError("A component named " + name + " already exists");
    if (existing && existing->ClassName() == className)
      comp = existing;  // created by its owner's constructor: read into it
  }
  Loading entry;
  if (comp) {
    entry.Component = comp;
    KeepBefore(entry);
  } else {
    TClass cls = FindClass(className);
    if (!cls->InheritsFrom(TComponent::StaticClass())) throw EReadError("Invalid stream format");
    comp = CreateComponent(cls, owner);
    try {
      if (!name.empty()) comp->SetName(name);
    } catch (...) {
      FreeAndNil(comp);
      throw;
    }
    entry.Component = comp;
    entry.Created = true;
  }
  comp->IncludeState(csLoading);
  comp->IncludeState(csReading);
  const bool existed = !entry.Created;
  loaded_.push_back(std::move(entry));
  if (comp->HasParent() && Parent) {
    if (existed) KeepChildOrder(comp->GetParentComponent());
    KeepChildOrder(Parent);
    comp->SetParentComponent(Parent);
  }
  comp->ReadState(this);
  return comp;
}

void TReader::ReadData(TComponent* Instance) {
  {
    TRestore where(where_, (Instance->Name().empty() ? Instance->ClassName() : Instance->Name()) + ".");
    ReadProperties(Instance);
  }
  ReadListEnd();
  while (!EndOfList()) ReadComponent(Instance);
  ReadListEnd();
}

void TReader::ReadProperties(TPersistent* Instance) {
  while (!EndOfList()) ReadProperty(Instance);
}

void TReader::ReadProperty(TPersistent* Instance) {
  const std::string path = ReadStr();
  auto fail = [&path]() { throw EReadError("Property " + path + " does not exist"); };
  TObject* obj = Instance;
  std::string_view rest = path;
  for (;;) {
    std::size_t dot = rest.find('.');
    std::string_view seg = rest.substr(0, dot);
    const TPropInfo* p = FindPublishedProperty(obj->ClassType(), seg);
    if (dot != std::string_view::npos) {
      if (!p || p->Kind != pkObject) fail();
      obj = p->GetObj(obj);
      if (!obj) fail();
      rest = rest.substr(dot + 1);
      continue;
    }
    if (p && p->Kind == pkObject) {
      auto* coll = dynamic_cast<TCollection*>(p->GetObj(obj));
      if (!coll) fail();
      TRestore where(where_, where_ + path);
      ReadCollection(coll);
      return;
    }
    if (p) {
      if (p->Kind == pkComponent) {
        TRestore where(where_, where_ + path);
        ReadPropValue(obj, *p);
        return;
      }
      ReadPropValue(obj, *p);
      return;
    }
    auto* pers = dynamic_cast<TPersistent*>(obj);
    if (!pers) fail();
    pendingProp_ = std::string(seg);
    pendingFound_ = false;
    pers->DefineProperties(this);
    bool found = pendingFound_;
    pendingProp_.clear();
    pendingFound_ = false;
    if (!found) fail();
    return;
  }
}

void TReader::ReadPropValue(TObject* Instance, const TPropInfo& P) {
  auto invalid = []() { throw EReadError("Invalid property value"); };
  switch (P.Kind) {
    case pkInteger: P.SetOrd(Instance, ReadInteger()); break;
    case pkBoolean: P.SetOrd(Instance, ReadBoolean() ? 1 : 0); break;
    case pkEnum: {
      if (ValueEncoding::IsIntegerTag(NextValue())) {
        std::int32_t v = ReadInteger();
        if (v < 0 || v >= static_cast<std::int32_t>(P.Idents.size())) invalid();
        P.SetOrd(Instance, v);
        break;
      }
      std::string ident = ReadIdent();
      for (std::size_t i = 0; i < P.Idents.size(); ++i)
        if (SameText(P.Idents[i], ident)) {
          P.SetOrd(Instance, static_cast<std::int64_t>(i));
          return;
        }
      invalid();
      break;
    }
    case pkSet: {
      if (NextValue() != vaSet) ReadTypeError();
      ReadValue();
      std::uint64_t bits = 0;
      for (std::string s = ReadStr(); !s.empty(); s = ReadStr()) {
        std::size_t i = 0;
        while (i < P.Idents.size() && i < 64 && !SameText(P.Idents[i], s)) ++i;
        if (i >= P.Idents.size() || i >= 64) invalid();
        bits |= std::uint64_t{1} << i;
      }
      P.SetOrd(Instance, static_cast<std::int64_t>(bits));
      break;
    }
    case pkFloat: P.SetFloat(Instance, ReadFloat()); break;
    case pkString: P.SetStr(Instance, ReadString()); break;
    case pkComponent: {
      TValueType t = NextValue();
      if (t == vaNil) {
        ReadValue();
        P.SetObj(Instance, nullptr);
      } else if (snapshotRefs_ && ValueEncoding::IsIntegerTag(t)) {
        const std::int32_t i = ReadInteger();
        if (i < 0 || i >= static_cast<std::int32_t>(snapshotRefs_->size())) invalid();
        P.SetObj(Instance, (*snapshotRefs_)[static_cast<std::size_t>(i)]);
      } else if (t == vaIdent || ValueEncoding::IsStringTag(t)) {
        std::string target = t == vaIdent ? ReadIdent() : ReadString();
        fixups_.push_back({Instance, &P, target, where_});
      } else {
        ReadTypeError();
      }
      break;
    }
    case pkEvent: {
      TValueType t = NextValue();
      if (t == vaIdent || t == vaNil || t == vaString || t == vaLString)
        SkipValue();
      else
        ReadTypeError();
      break;
    }
    case pkObject: invalid();
  }
}

void TReader::ResolveFixups() {
  std::vector<Fixup> pending;
  pending.swap(fixups_);
  for (const Fixup& f : pending) {
    TComponent* found = nullptr;
    std::string_view target = f.Target;
    const std::size_t dot = target.find('.');
    if (root_ && !target.empty()) {
      std::string_view first = target.substr(0, dot);
      TComponent* base = SameText(first, root_->Name()) ? root_ : root_->FindComponent(std::string(first));
      if (dot == std::string_view::npos)
        found = base;
      else if (base)
        found = base->FindComponent(std::string(target.substr(dot + 1)));
    }
    if (!found && dot == std::string_view::npos && !target.empty()) {
      // One the read made under another owner (a scene's objects go to the scene's owner).
      for (const Loading& e : loaded_) {
        if (!SameText(e.Component->Name(), target)) continue;
        if (found) {  // two of that name: neither is taken
          found = nullptr;
          break;
        }
        found = e.Component;
      }
    }
    if (!found) {
      // Another scene's object, a library beside the scene: not in what was read.
      unresolved_.push_back("Unresolved reference to " + f.Target + " (" + f.Where + "): left nil");
      f.Prop->SetObj(f.Instance, nullptr);
      continue;
    }
    f.Prop->SetObj(f.Instance, found);
  }
}

void TReader::ReadCollection(TCollection* Value) {
  if (NextValue() != vaCollection) ReadTypeError();
  ReadValue();
  TNestingLevel depth(depth_, kMaxDepth, TooDeep);
  Value->BeginUpdate();
  TScopeExit endUpdate([Value] { Value->EndUpdate(); });
  Value->Clear();
  const std::string where = where_;
  while (!EndOfList()) {
    if (ValueEncoding::IsIntegerTag(NextValue())) ReadInteger();  // stored item index: the order of the items decides
    ReadListBegin();
    TCollectionItem* item = Value->Add();
    TRestore itemWhere(where_, Format("%s[%d].", where.c_str(), Value->Count() - 1));
    ReadProperties(item);
    ReadListEnd();
  }
  ReadListEnd();
}

void TReader::DefineProperty(const std::string& Name, const TReaderProc& ReadData, const TWriterProc&, bool) {
  if (pendingFound_ || !SameText(Name, pendingProp_)) return;
  pendingFound_ = true;
  if (ReadData)
    ReadData(this);
  else
    SkipValue();
}

void TReader::DefineBinaryProperty(const std::string& Name, const TStreamProc& ReadData, const TStreamProc&, bool) {
  if (pendingFound_ || !SameText(Name, pendingProp_)) return;
  pendingFound_ = true;
  if (NextValue() != vaBinary) ReadTypeError();
  ReadValue();
  const std::int64_t n = ValueEncoding::ReadLength(*stream_, 1);
  TMemoryStream data;
  data.SetSize(n);
  Read(data.Memory(), n);
  data.SetPosition(0);
  if (ReadData) ReadData(&data);
}
