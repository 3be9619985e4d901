// Tests of stored scenes whose objects refer to objects of another scene or to components outside
// the scene (a proxy's master, a material's library): what is written, what is renamed, what
// reads back; and a failed read into a scene that keeps its objects' order.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Source/Materials/GLMaterial.h"
#include "Source/Scene/GLSceneGraph.h"
#include "rtl/Streaming.h"

namespace {

void RegisterSceneClasses() {
  RegisterGLCoordinatesClasses();
  RegisterGLColorClasses();
  RegisterGLMaterialClasses();
  RegisterGLSceneGraphClasses();
}

std::string Written(TComponent* root, std::vector<std::string>* leftOut = nullptr) {
  TStringStream s;
  TWriter w(&s);
  w.WriteRootComponent(root);
  if (leftOut) *leftOut = w.LeftOutReferences();
  return s.DataString();
}

std::vector<std::string> Names(TGLBaseSceneObject* parent) {
  std::vector<std::string> out;
  for (int i = 0; i < parent->GetChildCount(); ++i) out.push_back(parent->GetChild(i)->Name());
  return out;
}

TGLProxyObject* Proxy(TGLSceneGraph& scene, const char* name) {
  return static_cast<TGLProxyObject*>(scene.Objects()->FindChildByName(name, true));
}

}  // namespace

// Scene A's proxies point at an unnamed object and a named one of scene B, at an unnamed object
// of their own scene, and a material of scene A at a library no scene holds. Writing scene A
// names only its own object; what lies outside is left out (and said so), and the stream reads
// back with those references nil.
TEST(SceneStoredReferences, ReferencesOutsideTheSceneAreLeftOutAndNothingOutsideIsRenamed) {
  RegisterSceneClasses();
  TGLSceneGraph sceneB(nullptr);
  auto* unnamedMaster = sceneB.Objects()->AddNewChild<TGLSceneObject>();
  auto* namedMaster = sceneB.Objects()->AddNewChild<TGLSceneObject>();
  namedMaster->SetName("Elsewhere");
  TGLMaterialLibrary library(nullptr);
  library.SetName("Library");

  TGLSceneGraph sceneA(nullptr);
  auto* own = sceneA.Objects()->AddNewChild<TGLSceneObject>();
  own->Position()->SetXYZAsPoint(4, 5, 6);
  own->Material()->SetMaterialLibrary(&library);
  auto* toUnnamed = sceneA.Objects()->AddNewChild<TGLProxyObject>();
  toUnnamed->SetName("ToUnnamed");
  toUnnamed->SetMasterObject(unnamedMaster);
  auto* toNamed = sceneA.Objects()->AddNewChild<TGLProxyObject>();
  toNamed->SetName("ToNamed");
  toNamed->SetMasterObject(namedMaster);
  auto* toOwn = sceneA.Objects()->AddNewChild<TGLProxyObject>();
  toOwn->SetName("ToOwn");
  toOwn->SetMasterObject(own);

  std::vector<std::string> leftOut;
  const std::string data = Written(&sceneA, &leftOut);
  EXPECT_EQ(sceneB.Name(), "");
  EXPECT_EQ(unnamedMaster->Name(), "");
  EXPECT_EQ(namedMaster->Name(), "Elsewhere");
  EXPECT_EQ(sceneA.Name(), "");  // referred to by nothing
  EXPECT_EQ(own->Name(), "GLSceneObject1");
  EXPECT_EQ(data.find("GLSceneGraph1"), std::string::npos);
  EXPECT_EQ(data.find("Elsewhere"), std::string::npos);
  EXPECT_EQ(data.find("Library"), std::string::npos);
  EXPECT_EQ(leftOut, (std::vector<std::string>{
                         "GLSceneObject1.Material.MaterialLibrary refers to Library (TGLMaterialLibrary), which is not "
                         "written: left out",
                         "ToUnnamed.MasterObject refers to an unnamed TGLSceneObject, which is not written: left out",
                         "ToNamed.MasterObject refers to Elsewhere (TGLSceneObject), which is not written: left out"}));
  EXPECT_EQ(Written(&sceneA), data);  // nothing more to name the second time

  TStringStream in(data);
  TReader reader(&in);
  std::unique_ptr<TComponent> read;
  ASSERT_NO_THROW(read.reset(reader.ReadRootComponent(nullptr)));
  auto* scene = dynamic_cast<TGLSceneGraph*>(read.get());
  ASSERT_NE(scene, nullptr);
  EXPECT_EQ(Names(scene->Objects()), (std::vector<std::string>{"GLSceneObject1", "ToUnnamed", "ToNamed", "ToOwn"}));
  EXPECT_EQ(Proxy(*scene, "ToUnnamed")->MasterObject(), nullptr);
  EXPECT_EQ(Proxy(*scene, "ToNamed")->MasterObject(), nullptr);
  auto* readOwn = scene->Objects()->GetChild(0);
  EXPECT_EQ(Proxy(*scene, "ToOwn")->MasterObject(), readOwn);
  EXPECT_FLOAT_EQ(readOwn->Position()->Y(), 5);
  EXPECT_EQ(static_cast<TGLSceneObject*>(readOwn)->Material()->MaterialLibrary(), nullptr);
  EXPECT_TRUE(reader.UnresolvedReferences().empty());
}

// A stream written before references were kept to what is written: the other scene named
// "GLSceneGraph1" and its object "GLSceneObject1". It reads; the proxy's master is nil and the
// reader says which reference it could not find.
TEST(SceneStoredReferences, AStoredReferenceToAnotherSceneReadsAsNilAndIsReported) {
  RegisterSceneClasses();
  TGLSceneGraph scene(nullptr);
  auto* box = scene.Objects()->AddNewChild<TGLSceneObject>();
  box->SetName("Box");
  auto* proxy = scene.Objects()->AddNewChild<TGLProxyObject>();
  proxy->SetName("Proxy");
  proxy->SetMasterObject(box);
  std::string data = Written(&scene);
  const std::string ref = std::string("\x07\x03") + "Box";
  ASSERT_NE(data.find(ref), std::string::npos);
  data.replace(data.find(ref), ref.size(), std::string("\x07\x1C") + "GLSceneGraph1.GLSceneObject1");

  TStringStream in(data);
  TReader reader(&in);
  std::unique_ptr<TComponent> read;
  ASSERT_NO_THROW(read.reset(reader.ReadRootComponent(nullptr)));
  auto* back = static_cast<TGLSceneGraph*>(read.get());
  ASSERT_EQ(back->Objects()->GetChildCount(), 2);
  EXPECT_EQ(Proxy(*back, "Proxy")->MasterObject(), nullptr);
  EXPECT_EQ(
      reader.UnresolvedReferences(),
      std::vector<std::string>{"Unresolved reference to GLSceneGraph1.GLSceneObject1 (Proxy.MasterObject): left nil"});
}

// Objects read into by name are placed again under their parent while reading, at its end; a read
// that fails gives the scene back its objects in their order.
TEST(SceneStoredReferences, AFailedReadIntoASceneKeepsTheOrderOfItsObjects) {
  RegisterSceneClasses();
  TGLSceneGraph source(nullptr);
  for (const char* name : {"G1", "M"}) {
    auto* obj = source.Objects()->AddNewChild<TGLSceneObject>();
    obj->SetName(name);
    obj->Position()->SetXYZAsPoint(9, 9, 9);
  }
  auto* added = source.Objects()->AddNewChild<TGLSceneObject>();
  added->SetName("Added");
  added->SetVisible(false);
  std::string data = Written(&source);
  const std::string last = std::string("\x07") + "Visible";
  ASSERT_NE(data.rfind(last), std::string::npos);
  data.replace(data.rfind(last) + 1, 7, "Visiblx");  // Added's, read last

  TGLSceneGraph target(nullptr);
  std::vector<TGLBaseSceneObject*> before;
  for (const char* name : {"G1", "M", "Own"}) {
    auto* obj = target.Objects()->AddNewChild<TGLSceneObject>();
    obj->SetName(name);
    before.push_back(obj);
  }
  auto* cam = target.Cameras()->AddNewChild<TGLCamera>();
  cam->SetName("Eye");
  TStringStream in(data);
  EXPECT_THROW(TReader(&in).ReadRootComponent(&target), EReadError);
  EXPECT_EQ(Names(target.Objects()), (std::vector<std::string>{"G1", "M", "Own"}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(target.Objects()->GetChild(i), before[size_t(i)]);
    EXPECT_FLOAT_EQ(before[size_t(i)]->Position()->X(), 0);
  }
  EXPECT_EQ(Names(target.Cameras()), std::vector<std::string>{"Eye"});

  // The same stream whole reads into G1 and M and adds the new object.
  data.replace(data.rfind("Visiblx"), 7, "Visible");
  TStringStream good(data);
  TReader(&good).ReadRootComponent(&target);
  EXPECT_EQ(target.Objects()->GetChildCount(), 4);
  EXPECT_FLOAT_EQ(before[0]->Position()->X(), 9);
}

// A scene that a window owns reads its objects as the window's components; a reference between
// two of them still finds its object.
TEST(SceneStoredReferences, ReferencesReadBackIntoASceneThatAWindowOwns) {
  RegisterSceneClasses();
  TComponent window(nullptr);
  auto* scene = new TGLSceneGraph(&window);
  scene->SetName("Scene");
  auto* box = scene->Objects()->AddNewChild<TGLSceneObject>();
  box->SetName("Box");
  auto* proxy = scene->Objects()->AddNewChild<TGLProxyObject>();
  proxy->SetName("Proxy");
  proxy->SetMasterObject(box);
  const std::string data = Written(scene);

  TComponent otherWindow(nullptr);
  auto* into = new TGLSceneGraph(&otherWindow);
  TStringStream in(data);
  TReader reader(&in);
  reader.ReadRootComponent(into);
  auto* readBox = into->Objects()->FindChildByName("Box", true);
  ASSERT_NE(readBox, nullptr);
  EXPECT_EQ(readBox->Owner(), &otherWindow);
  EXPECT_EQ(Proxy(*into, "Proxy")->MasterObject(), readBox);
  EXPECT_TRUE(reader.UnresolvedReferences().empty());
}
