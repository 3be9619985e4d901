// Tagged value encoding and component streaming.
//
// One self-describing encoding serves both the component streams (a component's published
// properties, defined properties and stored children) and the engine's archives: each value is a
// tag byte followed by its payload, multi-byte numbers little-endian. The writers pick the
// shortest integer form, write every float as an 80-bit extended and strings of up to 255 bytes
// in the short form. Strings are UTF-8 in memory; the UTF-16 and UTF-8 forms (tags 18 and 20)
// are read, never written.
//
// Untrusted input: every length and count read from a stream is checked against the bytes left
// before anything is allocated, and a short read raises EReadError "Stream read error"; nothing
// is ever left uninitialised.
//
// Published properties: a class declares them once, next to the class, in its unit's
// registration function:
//   TPublished<TFoo>()
//       .Integer("Size", &TFoo::Size, &TFoo::SetSize, 10)
//       .Float("Scale", &TFoo::Scale, &TFoo::SetScale, 1.0)
//       .Enum("Style", &TFoo::Style, &TFoo::SetStyle, {"fsOne", "fsTwo"}, fsOne)
//       .Object("Position", &TFoo::Position)
//       .Event("OnProgress");
// They are written by name in declaration order (an ancestor's first), and only when they
// differ from their stored default. Every component publishes Tag (default 0). Events are
// bound in code, never written; a stored handler name is read past.
//
// A property left out of a stream reads back as the constructor left it, so the stored default
// must be the value a new instance has. A class whose constructor gives an inherited property,
// or a property of one of its sub-objects, another value restates its default:
//   TPublished<TBar>()
//       .Default("Size", 20)                    // declared by TFoo
//       .Default("Material.BlendingMode", bmTransparency);
// The restatement holds for the class and its descendants wherever they are written as a
// component or collection item of their own.
#pragma once

#include "rtl/Classes.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

// Value tags.
enum TValueType : std::uint8_t {
  vaNull = 0,  // end of a list
  vaList = 1,  // start of a list
  vaInt8 = 2,
  vaInt16 = 3,
  vaInt32 = 4,
  vaExtended = 5,  // 80-bit IEEE extended
  vaString = 6,    // 1-byte length
  vaIdent = 7,     // identifier (enumeration value, component reference), 1-byte length
  vaFalse = 8,
  vaTrue = 9,
  vaBinary = 10,      // 4-byte length, raw bytes
  vaSet = 11,         // identifiers, ended by an empty one
  vaLString = 12,     // 4-byte length
  vaNil = 13,         // nil reference
  vaCollection = 14,  // collection items, ended by vaNull
  vaWString = 18,     // read only: 4-byte character count, UTF-16
  vaUTF8String = 20   // read only: 4-byte byte count, UTF-8
};

// The encoding's building blocks, over any stream. Readers of typed values take the tag already
// read; a tag of the wrong kind is the caller's "<class>, read type error".
namespace ValueEncoding {

// Bytes between the position and the end.
std::int64_t BytesLeft(TStream& S);
// Raises EReadError "Stream read error" when fewer than Count bytes remain (or Count < 0).
void NeedBytes(TStream& S, std::int64_t Count);
// Reads exactly Count bytes (EReadError otherwise).
void ReadExact(TStream& S, void* Buffer, std::int64_t Count);
void WriteExact(TStream& S, const void* Buffer, std::int64_t Count);

TValueType ReadTag(TStream& S);
// The next tag without consuming it; EReadError at the end of the stream.
TValueType PeekTag(TStream& S);
void WriteTag(TStream& S, TValueType Tag);

bool IsIntegerTag(TValueType Tag) noexcept;
bool IsStringTag(TValueType Tag) noexcept;

void WriteInteger(TStream& S, std::int32_t Value);
void WriteFloat(TStream& S, double Value);
void WriteString(TStream& S, std::string_view Value);
void WriteBoolean(TStream& S, bool Value);
// A length byte and at most 255 characters, no tag (names and identifiers); longer: EWriteError.
void WriteShortString(TStream& S, std::string_view Value);
std::string ReadShortString(TStream& S);
// A 4-byte length of UnitSize-byte units; negative or beyond the bytes left: EReadError.
std::int64_t ReadLength(TStream& S, int UnitSize);
void WriteLength(TStream& S, std::int32_t Length);

std::int32_t ReadIntegerPayload(TStream& S, TValueType Tag);
double ReadFloatPayload(TStream& S);
std::string ReadStringPayload(TStream& S, TValueType Tag);

// 80-bit extended conversions (10 bytes, little-endian).
void DoubleToExtended(double Value, std::uint8_t (&Bytes)[10]) noexcept;
double ExtendedToDouble(const std::uint8_t (&Bytes)[10]) noexcept;
// UTF-8 payload of tag 20 to a valid UTF-8 string: the lead byte gives the number of
// continuation bytes; malformed or truncated sequences and surrogates become '?'.
std::string DecodeUtf8Payload(std::string_view Bytes);
// UTF-16 to UTF-8; unpaired surrogates become '?'.
std::string Utf16ToUtf8(const std::u16string& Text);

}  // namespace ValueEncoding

// ---------------------------------------------------------------------------------------------
// Published properties.

enum TPropKind { pkInteger, pkFloat, pkBoolean, pkString, pkEnum, pkSet, pkComponent, pkObject, pkEvent };

// One published property. Accessors take the instance (of the declaring class or a descendant).
// Ordinals (integers, booleans, enumerations, set bits) go through GetOrd/SetOrd.
struct TPropInfo {
  std::string Name;
  TPropKind Kind = pkInteger;
  std::vector<std::string> Idents;  // names of the enumeration values / set members
  std::function<std::int64_t(TObject*)> GetOrd;
  std::function<void(TObject*, std::int64_t)> SetOrd;
  std::function<double(TObject*)> GetFloat;
  std::function<void(TObject*, double)> SetFloat;
  std::function<std::string(TObject*)> GetStr;
  std::function<void(TObject*, const std::string&)> SetStr;
  // Component references and sub-objects (a sub-object has no setter: it is read in place).
  std::function<TObject*(TObject*)> GetObj;
  std::function<void(TObject*, TObject*)> SetObj;
  // Without a default the value is always written (strings: unless empty).
  bool HasDefault = false;
  std::int64_t OrdDefault = 0;
  double FloatDefault = 0;
  std::string StrDefault;
  bool Single = false;  // a single-precision float: restated defaults are rounded to single too
  // Optional extra condition; false keeps the property out of the stream.
  std::function<bool(TObject*)> Stored;
};

// A stored default restated by a class for a property it does not declare itself: Path is the
// property's name as it is written ("BottomRadius", "Material.BlendingMode").
struct TStoredDefault {
  std::string Path;
  std::int64_t Ord = 0;
  double Float = 0;
  std::string Str;
};

// Replaces the own published properties of a class (called by unit registration functions).
void RegisterPublishedProperties(TClass Class, std::vector<TPropInfo> Properties);
// Adds (or replaces, by path) defaults restated by a class.
void RegisterStoredDefaults(TClass Class, std::vector<TStoredDefault> Defaults);
// The default restated for Path by Class or its nearest ancestor that restates it, else nullptr.
const TStoredDefault* FindStoredDefault(TClass Class, std::string_view Path);
// Whether the writer leaves the property out: it has a default (restated for Path by Owner, the
// class of the component or collection item being written, or else declared) and holds it.
bool HoldsStoredDefault(TObject* Instance, const TPropInfo& Prop, TClass Owner, std::string_view Path);
// All published properties of a class: its ancestors' first, then its own, in declaration order.
std::vector<const TPropInfo*> GetPublishedProperties(TClass Class);
// The published property of that name (case-insensitive), nullptr when none.
const TPropInfo* FindPublishedProperty(TClass Class, std::string_view Name);

namespace PublishedDetail {
// The value type a setter takes: a member function (v) or a callable (instance, v).
template <class S>
struct SetterArgOf : SetterArgOf<decltype(&S::operator())> {};
template <class K, class R, class A>
struct SetterArgOf<R (K::*)(A)> {
  using type = A;
};
template <class K, class R, class A>
struct SetterArgOf<R (K::*)(A) noexcept> {
  using type = A;
};
template <class L, class R, class O, class A>
struct SetterArgOf<R (L::*)(O, A) const> {
  using type = A;
};
template <class L, class R, class O, class A>
struct SetterArgOf<R (L::*)(O, A) const noexcept> {
  using type = A;
};
template <class L, class R, class O, class A>
struct SetterArgOf<R (L::*)(O, A)> {
  using type = A;
};
template <class R, class O, class A>
struct SetterArgOf<R (*)(O, A)> {
  using type = A;
};
template <class R, class O, class A>
struct SetterArgOf<R (*)(O, A) noexcept> {
  using type = A;
};
}  // namespace PublishedDetail

// Typed declaration helper; the declarations are registered when the object goes away.
// Getters and setters are member functions or callables taking the instance first.
template <class C>
class TPublished {
  template <class S>
  using SetterArg = typename PublishedDetail::SetterArgOf<S>::type;

 public:
  TPublished() = default;
  TPublished(const TPublished&) = delete;
  TPublished& operator=(const TPublished&) = delete;
  ~TPublished() {
    RegisterPublishedProperties(C::StaticClass(), std::move(props_));
    if (!defaults_.empty()) RegisterStoredDefaults(C::StaticClass(), std::move(defaults_));
  }

  template <class G, class S>
  TPublished& Integer(std::string Name, G Get, S Set, std::optional<std::int64_t> Default = 0) {
    TPropInfo& p = Ordinal(std::move(Name), pkInteger, Get, Set);
    SetOrdDefault(p, Default);
    return *this;
  }
  template <class G, class S>
  TPublished& Boolean(std::string Name, G Get, S Set, std::optional<bool> Default = false) {
    TPropInfo& p = Ordinal(std::move(Name), pkBoolean, Get, Set);
    if (Default) SetOrdDefault(p, std::int64_t(*Default));
    return *this;
  }
  // Default: an enumeration value, or std::nullopt to store the property always.
  template <class G, class S, class E>
  TPublished& Enum(std::string Name, G Get, S Set, std::vector<std::string> Idents, E Default) {
    TPropInfo& p = Ordinal(std::move(Name), pkEnum, Get, Set);
    p.Idents = std::move(Idents);
    if constexpr (std::is_same_v<E, std::nullopt_t>) {
    } else if constexpr (requires { Default.has_value(); }) {
      if (Default) SetOrdDefault(p, ToOrd(*Default));
    } else {
      SetOrdDefault(p, ToOrd(Default));
    }
    return *this;
  }
  // A set property (bit i = Idents[i]) whose getter/setter exchange a TSet or its bits.
  template <class G, class S>
  TPublished& Set(std::string Name, G Get, S Set, std::vector<std::string> Idents,
                  std::optional<std::uint64_t> Default = 0) {
    TPropInfo& p = Ordinal(std::move(Name), pkSet, Get, Set);
    p.Idents = std::move(Idents);
    if (Default) SetOrdDefault(p, static_cast<std::int64_t>(*Default));
    return *this;
  }
  template <class G, class S>
  TPublished& Float(std::string Name, G Get, S Set, std::optional<double> Default = 0.0) {
    TPropInfo& p = Add(std::move(Name), pkFloat);
    p.GetFloat = [Get](TObject* o) { return static_cast<double>(std::invoke(Get, Self(o))); };
    p.SetFloat = [Set](TObject* o, double v) { Assign(Set, Self(o), v); };
    if (Default) {
      // A single-precision property compares with its default rounded the same way.
      using R = std::remove_cvref_t<std::invoke_result_t<G, C*>>;
      p.HasDefault = true;
      p.FloatDefault = std::is_same_v<R, float> ? double(float(*Default)) : *Default;
    }
    p.Single = std::is_same_v<std::remove_cvref_t<std::invoke_result_t<G, C*>>, float>;
    return *this;
  }
  template <class G, class S>
  TPublished& String(std::string Name, G Get, S Set, std::optional<std::string> Default = std::string()) {
    TPropInfo& p = Add(std::move(Name), pkString);
    p.GetStr = [Get](TObject* o) { return std::string(std::invoke(Get, Self(o))); };
    p.SetStr = [Set](TObject* o, const std::string& v) { std::invoke(Set, Self(o), v); };
    if (Default) {
      p.HasDefault = true;
      p.StrDefault = *Default;
    }
    return *this;
  }
  // A reference to another component, stored by name and resolved after loading.
  template <class G, class S>
  TPublished& Component(std::string Name, G Get, S Set) {
    TPropInfo& p = Add(std::move(Name), pkComponent);
    p.GetObj = [Get](TObject* o) -> TObject* { return std::invoke(Get, Self(o)); };
    p.SetObj = [Set](TObject* o, TObject* v) {
      using Arg = std::remove_pointer_t<std::remove_cvref_t<SetterArg<S>>>;
      Arg* typed = v ? dynamic_cast<Arg*>(v) : nullptr;
      if (v && !typed) throw EReadError("Invalid property value");
      std::invoke(Set, Self(o), typed);
    };
    p.HasDefault = true;  // nil is the default
    return *this;
  }
  // An owned sub-object: its own properties are stored as "<Name>.<property>"; a TCollection
  // is stored as a collection of items.
  template <class G>
  TPublished& Object(std::string Name, G Get) {
    TPropInfo& p = Add(std::move(Name), pkObject);
    p.GetObj = [Get](TObject* o) -> TObject* { return std::invoke(Get, Self(o)); };
    return *this;
  }
  // A published event: handlers are std::function members set in code, so nothing is written;
  // a stored handler name (an identifier, nil or a string) is read and dropped.
  TPublished& Event(std::string Name) {
    Add(std::move(Name), pkEvent);
    return *this;
  }
  // Restates the stored default of an inherited or sub-object property (see above).
  template <class V>
  TPublished& Default(std::string Path, V Value) {
    TStoredDefault d;
    d.Path = std::move(Path);
    if constexpr (std::is_convertible_v<V, std::string_view>) {
      d.Str = std::string(std::string_view(Value));
    } else if constexpr (std::is_floating_point_v<V>) {
      d.Float = static_cast<double>(Value);
      d.Ord = static_cast<std::int64_t>(Value);
    } else {
      d.Ord = ToOrd(Value);
      d.Float = static_cast<double>(d.Ord);
    }
    defaults_.push_back(std::move(d));
    return *this;
  }
  // Adds a stored condition to the last declared property.
  template <class F>
  TPublished& StoredIf(F Pred) {
    props_.back().Stored = [Pred](TObject* o) { return static_cast<bool>(std::invoke(Pred, Self(o))); };
    return *this;
  }

 private:
  static C* Self(TObject* o) { return static_cast<C*>(o); }
  template <class S, class V>
  static void Assign(S Set, C* o, V v) {
    using Arg = std::remove_cvref_t<SetterArg<S>>;
    if constexpr (requires { Arg::FromBits(std::uint64_t{}); })
      std::invoke(Set, o, Arg::FromBits(static_cast<std::uint64_t>(v)));  // a TSet
    else
      std::invoke(Set, o, static_cast<Arg>(v));
  }
  TPropInfo& Add(std::string Name, TPropKind Kind) {
    props_.emplace_back();
    props_.back().Name = std::move(Name);
    props_.back().Kind = Kind;
    return props_.back();
  }
  template <class G, class S>
  TPropInfo& Ordinal(std::string Name, TPropKind Kind, G Get, S Set) {
    TPropInfo& p = Add(std::move(Name), Kind);
    p.GetOrd = [Get](TObject* o) { return ToOrd(std::invoke(Get, Self(o))); };
    p.SetOrd = [Set](TObject* o, std::int64_t v) { Assign(Set, Self(o), v); };
    return p;
  }
  template <class V>
  static std::int64_t ToOrd(V v) {
    if constexpr (std::is_enum_v<V>)
      return static_cast<std::int64_t>(static_cast<std::underlying_type_t<V>>(v));
    else if constexpr (requires { v.Bits(); })
      return static_cast<std::int64_t>(v.Bits());
    else
      return static_cast<std::int64_t>(v);
  }
  static void SetOrdDefault(TPropInfo& p, std::optional<std::int64_t> d) {
    if (d) {
      p.HasDefault = true;
      p.OrdDefault = *d;
    }
  }
  std::vector<TPropInfo> props_;
  std::vector<TStoredDefault> defaults_;
};

// ---------------------------------------------------------------------------------------------
// Filer, writer and reader.

using TReaderProc = std::function<void(TReader* Reader)>;
using TWriterProc = std::function<void(TWriter* Writer)>;
using TStreamProc = std::function<void(TStream* Stream)>;

// Common base of TReader and TWriter: the stream, the root being read or written, and the
// definition of unpublished data by TPersistent::DefineProperties.
class TFiler : public TObject {
  RTL_CLASS(TFiler, TObject)
 public:
  // The stream is not owned.
  explicit TFiler(TStream* Stream);
  TStream* Stream() const noexcept { return stream_; }
  TComponent* Root() const noexcept { return root_; }
  void SetRoot(TComponent* Value) noexcept { root_ = Value; }

  // A property whose value is written as tagged values by WriteData and read by ReadData.
  virtual void DefineProperty(const std::string& Name, const TReaderProc& ReadData, const TWriterProc& WriteData,
                              bool HasData) = 0;
  // A property stored as one binary value (tag 10, 32-bit length, raw bytes).
  virtual void DefineBinaryProperty(const std::string& Name, const TStreamProc& ReadData, const TStreamProc& WriteData,
                                    bool HasData) = 0;

 protected:
  TStream* stream_;
  TComponent* root_ = nullptr;
};

class TWriter : public TFiler {
  RTL_CLASS(TWriter, TFiler)
 public:
  explicit TWriter(TStream* Stream);

  void WriteInteger(std::int32_t Value);
  void WriteBoolean(bool Value);
  void WriteString(std::string_view Value);
  void WriteFloat(double Value);
  void WriteIdent(std::string_view Ident);
  void WriteListBegin();
  void WriteListEnd();
  void WriteValue(TValueType Tag);
  // Raw bytes without a tag.
  void Write(const void* Buffer, std::int64_t Count);
  // A length byte and the name, no tag (property, class and component names); a name longer
  // than 255 bytes raises EWriteError.
  void WriteStr(std::string_view Value);

  // "TPF0", then the root component with its stored children.
  void WriteRootComponent(TComponent* ARoot);
  // One component: class name, name, properties, list end, children, list end.
  void WriteComponent(TComponent* Component);
  // The published and defined properties of any persistent object.
  void WriteProperties(TPersistent* Instance);
  void WriteCollection(TCollection* Value);

  void DefineProperty(const std::string& Name, const TReaderProc& ReadData, const TWriterProc& WriteData,
                      bool HasData) override;
  void DefineBinaryProperty(const std::string& Name, const TStreamProc& ReadData, const TStreamProc& WriteData,
                            bool HasData) override;

  // Writes the component's data (the default TComponent::WriteState).
  void WriteData(TComponent* Instance);

  // What the last WriteRootComponent left out: references to components that are not written
  // (neither the root, nor stored with it, nor owned by the root), which read back as nil. One
  // text each: "<component>.<property> refers to <name> (<class>), which is not written: left
  // out", or "... refers to an unnamed <class>, ...".
  const std::vector<std::string>& LeftOutReferences() const noexcept { return leftOut_; }

 private:
  friend class TReader;

  void WriteProperty(TPersistent* Instance, const TPropInfo& Prop);
  void WriteObjectProps(TObject* Obj);
  // The name a reference is written by; empty when it has none or lies outside what is written.
  std::string ReferenceName(TComponent* Value) const;
  // Gives a name to every unnamed component written that a written component refers to, so
  // that the reference can be written; nothing else is renamed.
  void NameReferredComponents(const std::vector<TComponent*>& Written);

  std::string propPath_;        // prefix of sub-object property names ("Position.")
  TClass pathOwner_ = nullptr;  // the component or item whose properties are being written
  // Set while a reader keeps a component's state before reading into it: every property is
  // written whatever its default, and references as indexes into this table.
  std::vector<TComponent*>* snapshotRefs_ = nullptr;
  // While WriteRootComponent runs: the root and its stored children.
  std::unordered_set<TComponent*> written_;
  std::vector<std::string> leftOut_;
  std::string where_;  // "<component>." or "<component>.<collection>[<i>]." being written
};

class TReader : public TFiler {
  RTL_CLASS(TReader, TFiler)
 public:
  explicit TReader(TStream* Stream);

  TValueType NextValue();
  TValueType ReadValue();
  bool EndOfList();
  std::int32_t ReadInteger();
  bool ReadBoolean();
  std::string ReadString();
  // Floats; integers are accepted too.
  double ReadFloat();
  std::string ReadIdent();
  void ReadListBegin();
  void ReadListEnd();
  // Raw bytes without a tag (exactly Count bytes or EReadError).
  void Read(void* Buffer, std::int64_t Count);
  std::string ReadStr();
  // Skips one value of any kind.
  void SkipValue();

  // Reads a root component: into ARoot, or into a new instance of the stored class when ARoot
  // is nullptr. Resolves references, then calls Loaded.
  // A reference is looked up under the root ("Name", "Owner.Name"); a plain name the root does
  // not own names the one component of that name this read made or read into. A reference
  // found nowhere leaves its property nil and is told in UnresolvedReferences(); it does not
  // stop the read.
  // When reading or a Loaded fails, nothing is left half-loaded: every component the reader
  // made (a new root included) is freed, and every component that existed before (ARoot, or
  // an owned component read into by name) gets back its properties, its parent (in its place
  // among the parent's children), its owner and its name as they were before the read, and
  // leaves the loading state. Then the error goes on.
  TComponent* ReadRootComponent(TComponent* ARoot);
  // Reads one stored child of Parent (owned by the root).
  TComponent* ReadComponent(TComponent* Parent);
  // Reads the component's properties and children (the default TComponent::ReadState).
  void ReadData(TComponent* Instance);
  // Reads properties into any persistent object until the list end (not consumed).
  void ReadProperties(TPersistent* Instance);
  void ReadCollection(TCollection* Value);

  void DefineProperty(const std::string& Name, const TReaderProc& ReadData, const TWriterProc& WriteData,
                      bool HasData) override;
  void DefineBinaryProperty(const std::string& Name, const TStreamProc& ReadData, const TStreamProc& WriteData,
                            bool HasData) override;

  [[noreturn]] void ReadTypeError() const;

  // References the last ReadRootComponent could not resolve: each property is left nil and the
  // read goes on. One text each: "Unresolved reference to <name> (<component>.<property>): left
  // nil".
  const std::vector<std::string>& UnresolvedReferences() const noexcept { return unresolved_; }

 private:
  struct Fixup {
    TObject* Instance;
    const TPropInfo* Prop;
    std::string Target;
    std::string Where;  // "<component>.<property>"
  };
  // The order of a parent's children before the read (a parent that existed before it).
  struct ChildOrder {
    TComponent* Parent = nullptr;
    std::vector<TComponent*> Children;
  };
  // A component being read: made by the reader, or one that existed before, with what it was.
  struct Loading {
    TComponent* Component = nullptr;
    bool Created = false;
    std::unique_ptr<TMemoryStream> Before;  // its properties before the read
    std::vector<TComponent*> BeforeRefs;    // the components they refer to
    TComponent* BeforeParent = nullptr;
    TComponent* BeforeOwner = nullptr;
    std::string BeforeName;
  };
  void ReadProperty(TPersistent* Instance);
  void ReadPropValue(TObject* Instance, const TPropInfo& Prop);
  void ResolveFixups();
  void KeepBefore(Loading& Entry);
  void RestoreBefore(Loading& Entry);
  void UnwindLoading() noexcept;
  bool IsLoading(const TComponent* Component) const noexcept;
  void KeepChildOrder(TComponent* Parent);
  void RestoreChildOrders(const std::vector<Loading>& Entries) noexcept;

  std::string pendingProp_;  // the defined property being looked for
  bool pendingFound_ = false;
  std::vector<Fixup> fixups_;
  std::vector<Loading> loaded_;
  std::vector<ChildOrder> orders_;
  std::unordered_set<TComponent*> orderKept_;
  std::vector<std::string> unresolved_;
  std::string where_;  // "<component>." or "<component>.<collection>[<i>]." being read
  // Set while a kept state is read back: references are indexes into this table.
  const std::vector<TComponent*>* snapshotRefs_ = nullptr;
  int depth_ = 0;
};

// Installs TReader/TWriter as the procedures behind TComponent::ReadState/WriteState (done by
// every TReader and TWriter constructor as well).
void InstallComponentStreaming() noexcept;
