// Stored defaults of every registered class: a property is left out of a stored scene only when
// it holds the value a new instance gets, so that whatever it holds comes back.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "Source/Base/PersistentClasses.h"
#include "Source/Base/VectorLists.h"
#include "Source/Further/GLGraph.h"
#include "Source/Further/GLMesh.h"
#include "Source/Further/GLMirror.h"
#include "Source/Further/GLMotionBehaviours.h"
#include "Source/Further/GLShadowPlane.h"
#include "Source/Further/GLShadowVolume.h"
#include "Source/Further/GLSkydome.h"
#include "Source/Further/GLTilePlane.h"
#include "Source/Further/GLVectorFileObjects.h"
#include "Source/Further/GLzBuffer.h"
#include "Source/Materials/GLBitmapFont.h"
#include "Source/Materials/GLColor.h"
#include "Source/Materials/GLFireFX.h"
#include "Source/Materials/GLHUDObjects.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLSystemFont.h"
#include "Source/Materials/GLTexture.h"
#include "Source/Objects/GLGeomObjects.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Objects/GLPolyhedron.h"
#include "Source/Objects/GLSound.h"
#include "Source/Objects/GLSoundFileObjects.h"
#include "Source/Scene/GLCadencer.h"
#include "Source/Scene/GLCamera.h"
#include "Source/Scene/GLCoordinates.h"
#include "Source/Scene/GLLightSource.h"
#include "Source/Scene/GLNodes.h"
#include "Source/Scene/GLSceneBuffer.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Viewer/GLQtContext.h"
#include "Source/Viewer/GLEngineClasses.h"
#include "Source/Viewer/GLSceneViewer.h"
#include "rtl/Classes.h"
#include "rtl/Streaming.h"
#include "tests/Source/Viewer/SceneWrittenBefore.h"

namespace {

// One step from an object to one of its sub-objects, or to an item of a collection.
struct TStep {
  const TPropInfo* Prop;
  int Item = -1;
};

TObject* Follow(TObject* Root, const std::vector<TStep>& Path) {
  TObject* o = Root;
  for (const TStep& s : Path) {
    o = s.Prop->GetObj(o);
    if (s.Item >= 0) o = static_cast<TCollection*>(o)->Items(s.Item);
  }
  return o;
}

// A stored property with a value, reached from a new instance.
struct TLeaf {
  std::vector<TStep> Path;
  const TPropInfo* Prop;
  TClass Owner;       // the component or collection item it is written with
  std::string Name;   // its name there ("Material.BlendingMode")
  std::string Where;  // for messages ("Bands[2].StartAngle")
};

// Every stored value property of Obj, of its sub-objects and collection items. A new collection
// item has the values a stored collection is read into. Sub-objects made on demand (a material's
// texture) are made, so that they are swept too.
void CollectLeaves(TObject* Obj, TClass Owner, std::vector<TStep>& Path, const std::string& Prefix,
                   const std::string& Where, std::vector<TLeaf>& Out, bool NewItem) {
  for (const TPropInfo* p : GetPublishedProperties(Obj->ClassType())) {
    switch (p->Kind) {
      case pkInteger:
      case pkBoolean:
      case pkEnum:
      case pkSet:
      case pkFloat:
      case pkString:
        if (!p->Stored || p->Stored(Obj)) Out.push_back({Path, p, Owner, Prefix + p->Name, Where + p->Name});
        break;
      case pkObject: {
        TObject* sub = p->GetObj(Obj);
        if (auto* coll = dynamic_cast<TCollection*>(sub)) {
          if (NewItem) coll->Add();
          for (int i = NewItem ? coll->Count() - 1 : 0; i < coll->Count(); ++i) {
            TCollectionItem* item = coll->Items(i);
            Path.push_back({p, i});
            CollectLeaves(item, item->ClassType(), Path, "", Where + p->Name + "[" + std::to_string(i) + "].", Out,
                          NewItem);
            Path.pop_back();
          }
        } else if (sub) {
          Path.push_back({p, -1});
          CollectLeaves(sub, Owner, Path, Prefix + p->Name + ".", Where + p->Name + ".", Out, NewItem);
          Path.pop_back();
        }
        break;
      }
      default: break;
    }
  }
}

// NewItem: every collection gets a new item and only that is looked at; else the items there are.
std::vector<TLeaf> Leaves(TObject* Obj, bool NewItem = true) {
  std::vector<TLeaf> out;
  std::vector<TStep> path;
  CollectLeaves(Obj, Obj->ClassType(), path, "", "", out, NewItem);
  return out;
}

std::string ValueOf(TObject* Obj, const TPropInfo& P) {
  std::ostringstream s;
  s.precision(9);
  if (P.Kind == pkFloat)
    s << P.GetFloat(Obj);
  else if (P.Kind == pkString)
    s << '"' << P.GetStr(Obj) << '"';
  else
    s << P.GetOrd(Obj);
  return s.str();
}

// Sets the declared default; false when the property has none.
bool SetDeclaredDefault(TObject* Obj, const TPropInfo& P) {
  if (!P.HasDefault) return false;
  if (P.Kind == pkFloat)
    P.SetFloat(Obj, P.FloatDefault);
  else if (P.Kind == pkString)
    P.SetStr(Obj, P.StrDefault);
  else
    P.SetOrd(Obj, P.OrdDefault);
  return true;
}

std::unique_ptr<TComponent> StoredCopy(TComponent* Source) {
  TMemoryStream stream;
  TWriter(&stream).WriteRootComponent(Source);
  stream.SetPosition(0);
  return std::unique_ptr<TComponent>(TReader(&stream).ReadRootComponent(nullptr));
}

// Published classes that no registered class derives from, as a program's own classes would.
class TSweptShader : public TGLShader {
  RTL_CLASS(TSweptShader, TGLShader)
 public:
  using TGLShader::TGLShader;

 protected:
  void DoApply(TRenderContextInfo&, TObject*) override {}
  bool DoUnApply(TRenderContextInfo&) override { return false; }
};

class TSweptSoundManager : public TGLSoundManager {
  RTL_CLASS(TSweptSoundManager, TGLSoundManager)
 public:
  using TGLSoundManager::TGLSoundManager;
};

// Registered classes that can be made without arguments beyond an owner.
std::vector<TClass> CreatableClasses() {
  RegisterEngineClasses();
  RegisterClasses({TSweptShader::StaticClass(), TSweptSoundManager::StaticClass()});
  std::vector<TClass> out;
  for (TClass cls : RegisteredClasses())
    if (cls->OwnerFactory || cls->DefaultFactory) out.push_back(cls);
  return out;
}

std::unique_ptr<TObject> Make(TClass Class) {
  try {
    return std::unique_ptr<TObject>(Class->Create(nullptr));
  } catch (const EAssertionFailed&) {
    return nullptr;  // a class that needs its owner (a mesh file format)
  }
}

TEST(GL_StoredDefaults, ANewInstanceOfEveryRegisteredClassHoldsTheDefaultsItIsStoredAgainst) {
  int classes = 0, properties = 0;
  std::string faults;
  for (TClass cls : CreatableClasses()) {
    std::unique_ptr<TObject> obj = Make(cls);
    if (!obj) continue;
    ++classes;
    for (const TLeaf& leaf : Leaves(obj.get())) {
      TObject* at = Follow(obj.get(), leaf.Path);
      if (!leaf.Prop->HasDefault && !FindStoredDefault(leaf.Owner, leaf.Name)) continue;  // always written
      ++properties;
      if (!HoldsStoredDefault(at, *leaf.Prop, leaf.Owner, leaf.Name))
        faults += cls->Name + "." + leaf.Where + " = " + ValueOf(at, *leaf.Prop) + "\n";
    }
  }
  EXPECT_EQ(faults, "");
  EXPECT_GT(classes, 80);
  EXPECT_GT(properties, 1500);
  std::printf("swept %d classes, %d stored properties with a default\n", classes, properties);
}

// Colours reached through published sub-objects, with where they are.
void CollectColors(TObject* Obj, const std::string& Where, std::vector<std::pair<std::string, TGLColor*>>& Out) {
  if (auto* color = dynamic_cast<TGLColor*>(Obj)) Out.emplace_back(Where, color);
  for (const TPropInfo* p : GetPublishedProperties(Obj->ClassType())) {
    if (p->Kind != pkObject) continue;
    TObject* sub = p->GetObj(Obj);
    if (auto* coll = dynamic_cast<TCollection*>(sub)) {
      for (int i = 0; i < coll->Count(); ++i)
        CollectColors(coll->Items(i), Where + p->Name + "[" + std::to_string(i) + "].", Out);
      CollectColors(coll->Add(), Where + p->Name + "[new].", Out);
    } else if (sub) {
      CollectColors(sub, Where + p->Name + ".", Out);
    }
  }
}

// A colour keeps a copy of its first value when asked to, and is then stored only when it differs
// from that copy: the copy must be what a new instance has, wherever the colour sits.
TEST(GL_StoredDefaults, KeptInitialColoursAreTheColoursANewInstanceHas) {
  std::string faults;
  int colors = 0;
  for (TClass cls : CreatableClasses()) {
    vKeepInitialValues = true;
    std::unique_ptr<TObject> obj;
    try {
      obj = Make(cls);
    } catch (...) {
      vKeepInitialValues = false;
      throw;
    }
    std::vector<std::pair<std::string, TGLColor*>> found;
    if (obj) CollectColors(obj.get(), "", found);  // new collection items are made with the copy kept too
    vKeepInitialValues = false;
    for (const auto& [where, color] : found) {
      ++colors;
      const TVector4f* kept = color->DefaultColor();
      if (!kept || !VectorEquals(*kept, color->Color())) faults += cls->Name + "." + where + "\n";
    }
  }
  EXPECT_EQ(faults, "");
  EXPECT_GT(colors, 100);
}

// Records the defined properties that have data.
class TRecordingWriter : public TWriter {
 public:
  using TWriter::TWriter;
  std::set<std::string> Written;
  void DefineProperty(const std::string& Name, const TReaderProc& ReadData, const TWriterProc& WriteData,
                      bool HasData) override {
    if (HasData) Written.insert(Name);
    TWriter::DefineProperty(Name, ReadData, WriteData, HasData);
  }
  void DefineBinaryProperty(const std::string& Name, const TStreamProc& ReadData, const TStreamProc& WriteData,
                            bool HasData) override {
    if (HasData) Written.insert(Name);
    TWriter::DefineBinaryProperty(Name, ReadData, WriteData, HasData);
  }
};

// A defined property that is written only when it differs from a fixed value (a frustum's sizes,
// point parameters, a Doppler factor, a non-empty list) must not be written for a new instance;
// only the coordinates and colours, which are always written, are.
TEST(GL_StoredDefaults, ANewComponentWritesOnlyTheDefinedPropertiesThatAreAlwaysWritten) {
  std::string faults;
  for (TClass cls : CreatableClasses()) {
    if (!cls->InheritsFrom(TComponent::StaticClass())) continue;
    std::unique_ptr<TObject> obj = Make(cls);
    TMemoryStream stream;
    TRecordingWriter writer(&stream);
    writer.WriteRootComponent(static_cast<TComponent*>(obj.get()));
    for (const std::string& name : writer.Written)
      if (name != "Coordinates" && name != "Color") faults += cls->Name + " " + name + "\n";
  }
  EXPECT_EQ(faults, "");
}

// Each property of a new component set to its declared default (what a writer that knew only
// declared defaults left out) is written and read back as set.
TEST(GL_StoredDefaults, EveryPropertySetToItsDeclaredDefaultComesBack) {
  std::string faults;
  for (TClass cls : CreatableClasses()) {
    if (!cls->InheritsFrom(TComponent::StaticClass())) continue;
    std::unique_ptr<TObject> probe = Make(cls);
    for (const TLeaf& leaf : Leaves(probe.get())) {
      std::unique_ptr<TObject> obj = Make(cls);
      Leaves(obj.get());  // the same collection items
      TObject* at = Follow(obj.get(), leaf.Path);
      const std::string before = ValueOf(at, *leaf.Prop);
      if (!SetDeclaredDefault(at, *leaf.Prop)) continue;
      const std::string set = ValueOf(at, *leaf.Prop);
      if (set == before) continue;
      std::string back;
      try {
        std::unique_ptr<TComponent> copy = StoredCopy(static_cast<TComponent*>(obj.get()));
        back = ValueOf(Follow(copy.get(), leaf.Path), *leaf.Prop);
      } catch (const std::exception& e) {
        back = std::string("an exception: ") + e.what();
      }
      if (back != set) faults += cls->Name + "." + leaf.Where + " " + set + " read back as " + back + "\n";
    }
  }
  EXPECT_EQ(faults, "");
}

TEST(GL_StoredDefaults, ArrowLineSkyDomesAndMirrorKeepTheirDeclaredDefaultsThroughAStoredScene) {
  RegisterEngineClasses();
  TGLDummyCube root(nullptr);
  root.SetName("Root");
  auto* arrow = root.AddNewChild<TGLArrowLine>();
  arrow->SetBottomRadius(0.5f);
  auto* dome = root.AddNewChild<TGLSkyDome>();
  dome->SetCamInvarianceMode(cimNone);
  auto* earth = root.AddNewChild<TGLEarthSkyDome>();
  earth->SetCamInvarianceMode(cimNone);
  auto* mirror = root.AddNewChild<TGLMirror>();
  mirror->Material()->SetBlendingMode(bmOpaque);
  for (auto* child : std::initializer_list<TComponent*>{arrow, dome, earth, mirror})
    child->SetName(child->ClassName().substr(3));
  std::unique_ptr<TComponent> copy = StoredCopy(&root);
  EXPECT_EQ(dynamic_cast<TGLArrowLine*>(copy->FindComponent("ArrowLine"))->BottomRadius(), 0.5f);
  EXPECT_EQ(dynamic_cast<TGLSkyDome*>(copy->FindComponent("SkyDome"))->CamInvarianceMode(), cimNone);
  EXPECT_EQ(dynamic_cast<TGLEarthSkyDome*>(copy->FindComponent("EarthSkyDome"))->CamInvarianceMode(), cimNone);
  EXPECT_EQ(dynamic_cast<TGLMirror*>(copy->FindComponent("Mirror"))->Material()->BlendingMode(), bmOpaque);
}

// Every published value of every object in a tree, one line each.
std::string Describe(TComponent* Root) {
  std::string out;
  for (int i = 0; i < Root->ComponentCount(); ++i) {
    TComponent* c = Root->Components(i);
    for (const TLeaf& leaf : Leaves(c, false))
      out += c->Name() + "." + leaf.Where + " = " + ValueOf(Follow(c, leaf.Path), *leaf.Prop) + "\n";
  }
  return out;
}

TEST(GL_StoredDefaults, ASceneWrittenBeforeReadsBackAsItDidAndSurvivesBeingWrittenAgain) {
  RegisterEngineClasses();
  std::string bytes;
  for (const char* h = kSceneWrittenBefore; h[0] && h[1]; h += 2)
    bytes += char(std::stoi(std::string(h, 2), nullptr, 16));
  TMemoryStream stream;
  stream.WriteBuffer(bytes.data(), std::int64_t(bytes.size()));
  stream.SetPosition(0);
  std::unique_ptr<TComponent> scene(TReader(&stream).ReadRootComponent(nullptr));
  ASSERT_EQ(scene->ComponentCount(), 10);
  auto radius = [&](const char* name) {
    return dynamic_cast<TGLArrowLine*>(scene->FindComponent(name))->BottomRadius();
  };
  auto mode = [&](const char* name) {
    return dynamic_cast<TGLSkyDome*>(scene->FindComponent(name))->CamInvarianceMode();
  };
  auto blending = [&](const char* name) {
    return dynamic_cast<TGLMirror*>(scene->FindComponent(name))->Material()->BlendingMode();
  };
  // What that writer left out comes back as the constructor gives it, as it always did.
  EXPECT_EQ(radius("Arrow1"), 0.1f);
  EXPECT_EQ(radius("Arrow2"), 0.3f);
  EXPECT_EQ(radius("Arrow3"), 0.1f);
  EXPECT_EQ(mode("Dome1"), cimPosition);
  EXPECT_EQ(mode("Dome2"), cimOrientation);
  EXPECT_EQ(mode("Dome3"), cimPosition);
  EXPECT_EQ(mode("Earth1"), cimPosition);
  EXPECT_EQ(blending("Mirror1"), bmTransparency);
  EXPECT_EQ(blending("Mirror2"), bmAdditive);
  EXPECT_EQ(blending("Mirror3"), bmTransparency);

  const std::string read = Describe(scene.get());
  std::unique_ptr<TComponent> again = StoredCopy(scene.get());
  EXPECT_EQ(Describe(again.get()), read);
}

}  // namespace
