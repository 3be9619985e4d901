// Tests of the tagged value encoding, persistent-object archives, object-list archives and their
// errors, and file access through the engine's file streams.
#include "Source/Base/PersistentClasses.h"
#include "Source/Base/VectorLists.h"
#include "tests/common/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}

template <class F>
std::string Written(F&& f) {
  TStringStream s;
  TBinaryWriter w(&s);
  f(w);
  return s.DataString();
}

template <class E, class F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.Message();
  }
  return "<no exception>";
}

// A persistent class with a signature and a version of its own.
class TSigned : public TPersistentObject {
  RTL_CLASS(TSigned, TPersistentObject)
 public:
  int Value = 0;
  std::string FileSignature() const override { return "SIG1"; }
  void WriteToFiler(TVirtualWriter* W) override {
    inherited::WriteToFiler(W);
    W->WriteInteger(1);
    W->WriteInteger(Value);
  }
  void ReadFromFiler(TVirtualReader* R) override {
    inherited::ReadFromFiler(R);
    int v = R->ReadInteger();
    if (v != 1) RaiseFilerException(v);
    Value = R->ReadInteger();
  }
};

// Writes part of its archive, then fails.
class TBrokenArchive : public TPersistentObject {
  RTL_CLASS(TBrokenArchive, TPersistentObject)
 public:
  void WriteToFiler(TVirtualWriter* W) override {
    inherited::WriteToFiler(W);
    W->WriteInteger(0);
    W->WriteString("half");
    throw EWriteError("Stream write error");
  }
};

class PersistentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterPersistentClasses();
    RegisterVectorLists();
    RegisterClass(TStringList::StaticClass());
  }
};

TEST_F(PersistentTest, IntegersUseTheShortestTag) {
  struct {
    int v;
    std::string bytes;
  } cases[] = {
      {127, Bytes({2, 0x7F})},
      {-128, Bytes({2, 0x80})},
      {128, Bytes({3, 0x80, 0})},
      {-129, Bytes({3, 0x7F, 0xFF})},
      {32767, Bytes({3, 0xFF, 0x7F})},
      {32768, Bytes({4, 0, 0x80, 0, 0})},
      {-32769, Bytes({4, 0xFF, 0x7F, 0xFF, 0xFF})},
  };
  for (auto& c : cases) {
    std::string out = Written([&](TBinaryWriter& w) { w.WriteInteger(c.v); });
    EXPECT_EQ(out, c.bytes) << c.v;
    TStringStream in(out);
    TBinaryReader r(&in);
    EXPECT_EQ(r.ReadInteger(), c.v);
  }
}

TEST_F(PersistentTest, FloatsAreElevenBytesOfExtended) {
  EXPECT_EQ(Written([](TBinaryWriter& w) { w.WriteFloat(1.0); }), Bytes({5, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}));
  EXPECT_EQ(Written([](TBinaryWriter& w) { w.WriteFloat(0.5); }), Bytes({5, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFE, 0x3F}));
  for (double v : {1.0, 0.5, -3.25, 1e-300, 123456.789}) {
    TStringStream in(Written([&](TBinaryWriter& w) { w.WriteFloat(v); }));
    TBinaryReader r(&in);
    EXPECT_EQ(r.ReadFloat(), v);
  }
}

TEST_F(PersistentTest, StringsSwitchToTheLongFormAfter255) {
  std::string s255(255, 'a'), s256(256, 'b');
  std::string out = Written([&](TBinaryWriter& w) { w.WriteString(s255); });
  EXPECT_EQ(out, Bytes({6, 0xFF}) + s255);
  out = Written([&](TBinaryWriter& w) { w.WriteString(s256); });
  EXPECT_EQ(out, Bytes({0x0C, 0, 1, 0, 0}) + s256);
  EXPECT_EQ(Written([](TBinaryWriter& w) { w.WriteString(""); }), Bytes({6, 0}));
  TStringStream in(out);
  TBinaryReader r(&in);
  EXPECT_EQ(r.ReadString(), s256);
}

TEST_F(PersistentTest, WideAndUtf8FormsReadAsUtf8) {
  // tag 18: "é" and U+1F600 as a surrogate pair; tag 20: "é" and a broken sequence.
  TStringStream in(Bytes({18, 3, 0, 0, 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE}) + Bytes({20, 2, 0, 0, 0, 0xC3, 0xA9}) +
                   Bytes({20, 3, 0, 0, 0, 'a', 0xE2, 0x82}) + Bytes({18, 1, 0, 0, 0, 0x00, 0xD8}));
  TBinaryReader r(&in);
  EXPECT_EQ(r.ReadString(), "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(r.ReadString(), "\xC3\xA9");
  EXPECT_EQ(r.ReadString(), "a?");
  EXPECT_EQ(r.ReadString(), "?");  // unpaired surrogate
}

TEST_F(PersistentTest, MismatchedTagsAndShortStreamsRaise) {
  TStringStream in(Bytes({6, 0}));
  TBinaryReader r(&in);
  EXPECT_EQ(ErrorOf<EReadError>([&] { r.ReadInteger(); }), "TBinaryReader, read type error");
  EXPECT_EQ(in.Position(), 1);  // after the tag

  // Lengths larger than what is left, and payloads cut short.
  for (std::string bad :
       {Bytes({0x0C, 0xFF, 0xFF, 0xFF, 0x7F, 'a'}), Bytes({0x0C, 0xFF, 0xFF, 0xFF, 0xFF}), Bytes({18, 0, 0, 0, 0x40}),
        Bytes({20, 9, 0, 0, 0, 'a'}), Bytes({4, 1, 2}), Bytes({5, 0, 0}), Bytes({6, 5, 'a'}), Bytes({})}) {
    TStringStream s(bad);
    TBinaryReader br(&s);
    EXPECT_THROW(
        {
          if (bad.empty() || bad[0] == 4)
            br.ReadInteger();
          else if (bad[0] == 5)
            br.ReadFloat();
          else
            br.ReadString();
        },
        EReadError);
  }
  TStringStream empty;
  TBinaryReader er(&empty);
  EXPECT_THROW(er.EndOfList(), EReadError);
}

TEST_F(PersistentTest, ObjectListArchiveOfTwoListsNamesTheClassOnce) {
  TPersistentObjectList list;
  auto* a = new TAffineVectorList;
  auto* b = new TAffineVectorList;
  list.Add(a);
  list.Add(b);
  std::string out = list.SaveToString();
  std::string emptyArchive = Bytes({2, 0, 2, 0, 2, 12, 2, 0});
  EXPECT_EQ(out,
            Bytes({2, 0, 1, 6, 17}) + "TAffineVectorList" + emptyArchive + Bytes({2, 0}) + emptyArchive + Bytes({0}));

  a->Add(1, 2, 3);
  list.Add(nullptr);
  TObject plain;
  list.Add(&plain);
  out = list.SaveToString();

  TPersistentObjectList back;
  back.LoadFromString(out);
  ASSERT_EQ(back.Count(), 4);
  auto* ra = dynamic_cast<TAffineVectorList*>(back.Get(0));
  ASSERT_NE(ra, nullptr);
  ASSERT_EQ(ra->Count(), 1);
  EXPECT_EQ(ra->Get(0)[2], 3.0f);
  EXPECT_EQ(back.Get(2), nullptr);
  EXPECT_EQ(back.Get(3), nullptr);  // a foreign entry comes back as nil, never as a pointer
  back.FreeItems();
  list.Delete(3);
  list.Delete(2);
  list.FreeItemsAndClear();
}

TEST_F(PersistentTest, BrokenObjectListArchivesRaiseThePartsErrors) {
  struct {
    std::string bytes;
    std::string message;
  } cases[] = {
      {Bytes({2, 0, 1, 5, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F, 0}), "Broken ObjectList archive"},
      {Bytes({2, 0, 1, 2, 0, 0}), "Broken ObjectList archive"},  // index before any class
      {Bytes({2, 0, 1, 6, 11}) + "TStringList", "Broken ObjectList archive"},
      {Bytes({2, 0, 1, 6, 4}) + "TNix", "Class TNix not found"},
      {Bytes({2, 3}), "TPersistentObjectList : unknown archive version 3"},
  };
  for (auto& c : cases) {
    TPersistentObjectList list;
    try {
      list.LoadFromString(c.bytes);
      ADD_FAILURE() << c.message;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
  // Objects read before the failure stay in the list, and so does the broken one (empty), so
  // that freeing the items frees everything that was created.
  TPersistentObjectList list;
  std::string one = Bytes({2, 0, 1, 6, 11}) + "TSingleList" + Bytes({2, 0, 2, 1, 2, 4, 0, 0, 0x80, 0x3F}) +
                    Bytes({2, 0, 2, 0, 2, 0, 2, 5});
  EXPECT_THROW(list.LoadFromString(one), EFilerException);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(static_cast<TSingleList*>(list.Get(0))->Get(0), 1.0f);
  EXPECT_EQ(static_cast<TSingleList*>(list.Get(1))->Count(), 0);
  list.FreeItemsAndClear();
}

TEST_F(PersistentTest, SignatureIsCheckedBeforeTheArchive) {
  TSigned obj;
  obj.Value = 300;
  std::string data = obj.SaveToString();
  EXPECT_EQ(data.substr(0, 4), "SIG1");
  TSigned back;
  back.LoadFromString(data);
  EXPECT_EQ(back.Value, 300);

  back.Value = 7;
  EXPECT_EQ(ErrorOf<EInvalidFileSignature>([&] { back.LoadFromString("SIG2" + data.substr(4)); }),
            "Invalid file signature");
  EXPECT_THROW(back.LoadFromString("SI"), EInvalidFileSignature);
  EXPECT_EQ(back.Value, 7);
  EXPECT_EQ(ErrorOf<EFilerException>([&] {
              back.LoadFromString("SIG1" + Bytes({2, 2, 2, 1}));
            }),
            "TSigned : unknown archive version 2");
}

TEST_F(PersistentTest, AssignStreamsOnlyBetweenTheSameClass) {
  TSigned a, b;
  a.Value = 42;
  b.Assign(&a);
  EXPECT_EQ(b.Value, 42);
  TPersistentObject* clone = a.CreateClone();
  EXPECT_EQ(static_cast<TSigned*>(clone)->Value, 42);
  EXPECT_EQ(clone->ClassName(), "TSigned");
  delete clone;
  TSingleList other;
  EXPECT_THROW(b.Assign(&other), EConvertError);
}

TEST_F(PersistentTest, ObjectListEditing) {
  TPersistentObjectList list;
  TObject o[20];
  for (auto& x : o) list.Add(&x);
  EXPECT_EQ(list.Capacity(), 32);
  list.Insert(0, nullptr);
  EXPECT_EQ(list.Get(1), &o[0]);
  EXPECT_EQ(list.Remove(&o[5]), 6);
  EXPECT_EQ(list.Remove(&o[5]), -1);
  EXPECT_EQ(list.Pop(), &o[19]);
  list.SetCapacity(4);
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(ErrorOf<EListError>([&] { list.Delete(4); }), "Invalid list index");
  EXPECT_THROW(list.Insert(-1, nullptr), EListError);
  list.Clear();
  EXPECT_EQ(list.Pop(), nullptr);

  int keys[] = {5, 3, 9, 1, 3, 7};
  TObject* ptrs[6];
  for (int i = 0; i < 6; ++i) {
    ptrs[i] = &o[keys[i]];
    list.Add(ptrs[i]);
  }
  list.Sort([&](TObject* a, TObject* b) { return static_cast<int>(a - &o[0]) - static_cast<int>(b - &o[0]); });
  for (int i = 1; i < list.Count(); ++i) EXPECT_LE(list.Get(i - 1), list.Get(i));
}

TEST_F(PersistentTest, FilesGoThroughCreateFileStream) {
  TTestFolder dir("persistent");
  std::string name = dir / "persistent_signed.bin";
  TSigned obj;
  obj.Value = -5;
  obj.SaveToFile(name);
  TSigned back;
  back.LoadFromFile(name);
  EXPECT_EQ(back.Value, -5);
  // An archive that breaks half-way leaves the file that was there.
  obj.Value = 12;
  obj.SaveToFile(name);
  EXPECT_THROW(obj.SaveToFile(name, TStringList::StaticClass()), EAssertionFailed);  // not a writer
  TBrokenArchive half;
  EXPECT_THROW(half.SaveToFile(name), EWriteError);
  back.LoadFromFile(name);
  EXPECT_EQ(back.Value, 12);
  std::remove(name.c_str());
  EXPECT_EQ(ErrorOf<Exception>([&] { back.LoadFromFile(name); }), "File not found: \"" + name + "\"");
}

}  // namespace
