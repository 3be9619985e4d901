// Tests of mesh files: the format registry, round trips and broken files, centring and scaling,
// ray casts, and what mesh objects draw.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "Source/Materials/GLMaterial.h"
#include "Source/Further/GLVectorFileObjects.h"
#include "Source/Scene/GLState.h"
#include "rtl/SysUtils.h"
#include "tests/Source/Base/GLRecorder.h"
#include "tests/Source/BookkeepingContext.h"
#include "tests/Source/MultiPassShader.h"
#include "tests/common/TempFolder.h"

namespace {

TAffineVector V(float x, float y, float z) { return TAffineVector{{x, y, z}}; }

class GlsmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterGLVectorFileObjects();
    dir = scratch.Path();
  }

  // One triangle (0,0,0) (2,0,0) (0,4,0) and one at z = 6.
  static void FillTwoTriangles(TGLBaseMesh& mesh) {
    auto* mo = new TMeshObject(mesh.MeshObjects());
    mo->SetName("tris");
    mo->Vertices()->AddTriple(V(0, 0, 0), V(2, 0, 0), V(0, 4, 0));
    mo->Vertices()->AddTriple(V(0, 0, 6), V(2, 0, 6), V(0, 4, 6));
  }

  TTestFolder scratch{"glsm"};
  std::string dir;
};

TEST_F(GlsmTest, RegistryFindsByExtensionAndNamesTheMissingUnit) {
  TVectorFileFormatsList* formats = GetVectorFileFormats();
  EXPECT_EQ(formats->FindExt("GLSM"), TGLGLSMVectorFile::StaticClass());
  EXPECT_EQ(formats->FindFromFileName("dir.x/Model.GLSM"), TGLGLSMVectorFile::StaticClass());
  EXPECT_EQ(GetClass("TGLActor"), TGLActor::StaticClass());
  EXPECT_EQ(GetClass("TFGVertexNormalTexIndexList"), TFGVertexNormalTexIndexList::StaticClass());
  try {
    formats->FindFromFileName("model.xyz");
    FAIL();
  } catch (const EInvalidVectorFile& e) {
    EXPECT_EQ(e.Message(),
              "Unknown file extension (xyz), maybe you forgot to add the support unit to your uses? (GLFileXYZ?)");
  }
  try {
    formats->FindFromFileName("model");
    FAIL();
  } catch (const EInvalidVectorFile& e) {
    EXPECT_EQ(e.Message(),
              "Unknown file extension (), maybe you forgot to add the support unit to your uses? (GLFile?)");
  }
}

TEST_F(GlsmTest, FilesRoundTripAndBrokenFilesLeaveAnEmptyMesh) {
  TGLFreeForm source(nullptr);
  FillTwoTriangles(source);
  const std::string file = dir + "/model.glsm";
  source.SaveToFile(file);

  TGLFreeForm loaded(nullptr);
  loaded.LoadFromFile(file);
  ASSERT_EQ(loaded.MeshObjects()->Count(), 1);
  EXPECT_EQ((*loaded.MeshObjects())[0]->Name(), "tris");
  EXPECT_EQ((*loaded.MeshObjects())[0]->Owner(), loaded.MeshObjects());
  EXPECT_EQ(loaded.MeshObjects()->SaveToString(), source.MeshObjects()->SaveToString());

  // Adding keeps what is there.
  TMemoryStream more;
  source.SaveToStream("again.glsm", &more);
  more.SetPosition(0);
  loaded.AddDataFromStream("again.glsm", &more);
  ASSERT_EQ(loaded.MeshObjects()->Count(), 2);
  EXPECT_EQ((*loaded.MeshObjects())[1]->Owner(), loaded.MeshObjects());

  // A truncated file or an unknown extension raises and leaves the mesh as it was.
  const std::string before = loaded.MeshObjects()->SaveToString();
  std::string data = source.MeshObjects()->SaveToString();
  TStringStream cut(data.substr(0, data.size() / 2));
  EXPECT_ANY_THROW(loaded.LoadFromStream("cut.glsm", &cut));
  ASSERT_EQ(loaded.MeshObjects()->Count(), 2);
  EXPECT_EQ(loaded.MeshObjects()->SaveToString(), before);

  TStringStream any(data);
  EXPECT_THROW(loaded.LoadFromStream("model.obj", &any), EInvalidVectorFile);
  EXPECT_EQ(loaded.MeshObjects()->SaveToString(), before);
  loaded.LoadFromFile("");  // nothing
  EXPECT_EQ(loaded.MeshObjects()->Count(), 2);
}

// A format that fills one mesh object and a skeleton frame, then fails on an empty stream.
class TPartlyReadFile : public TVectorFile {
  RTL_CLASS(TPartlyReadFile, TVectorFile)
 public:
  explicit TPartlyReadFile(TPersistent* AOwner) : TVectorFile(AOwner) {}
  TDataFileCapabilities Capabilities() const override { return {dfcRead}; }
  void LoadFromStream(TStream* Stream) override {
    (new TMeshObject(MeshObjects()))->SetName("partly");
    Skeleton()->Frames()->Add(new TSkeletonFrame);
    if (Stream->Size() == 0) throw EReadError("cut short");
  }
};

// A scene whose change notice fails once, when armed.
struct TFailingScene : TGLSceneGraph {
  using TGLSceneGraph::TGLSceneGraph;
  bool armed = false;
  void NotifyChange(TObject* Sender) override {
    if (armed && !IsUpdating()) {
      armed = false;
      throw EInvalidOperation("the scene could not take the change");
    }
    TGLSceneGraph::NotifyChange(Sender);
  }
};

TEST_F(GlsmTest, ARefusedLoadLeavesTheMeshAsItWas) {
  if (!GetVectorFileFormats()->FindExt("partly"))
    RegisterVectorFileFormat("partly", "Partly read", TPartlyReadFile::StaticClass());
  TGLFreeForm source(nullptr);
  FillTwoTriangles(source);
  const std::string data = source.MeshObjects()->SaveToString();

  TFailingScene scene(nullptr);
  auto* mesh = scene.Objects()->AddNewChild<TGLFreeForm>();
  TStringStream first(data);
  mesh->LoadFromStream("first.glsm", &first);
  mesh->Skeleton()->Frames()->Add(new TSkeletonFrame);
  mesh->Skeleton()->Frames()->Add(new TSkeletonFrame);
  const std::string before = mesh->MeshObjects()->SaveToString();
  ASSERT_EQ(mesh->MeshObjects()->Count(), 1);

  // An unknown extension, a truncated file.
  TStringStream whole(data);
  EXPECT_THROW(mesh->LoadFromStream("m.obj", &whole), EInvalidVectorFile);
  EXPECT_EQ(mesh->MeshObjects()->Count(), 1);
  TStringStream truncated(data.substr(0, data.size() - 9));
  EXPECT_ANY_THROW(mesh->LoadFromStream("m.glsm", &truncated));
  EXPECT_EQ(mesh->MeshObjects()->Count(), 1);
  EXPECT_EQ(mesh->MeshObjects()->SaveToString(), before);

  // A format that fails half-way: neither its mesh object nor its skeleton frame is kept.
  TStringStream empty("");
  EXPECT_THROW(mesh->LoadFromStream("m.partly", &empty), EReadError);
  EXPECT_EQ(mesh->MeshObjects()->SaveToString(), before);
  EXPECT_EQ(mesh->Skeleton()->Frames()->Count(), 2);
  EXPECT_THROW(mesh->AddDataFromStream("m.partly", &empty), EReadError);
  EXPECT_EQ(mesh->MeshObjects()->SaveToString(), before);
  EXPECT_FALSE(scene.IsUpdating());

  // The scene failing to take the end of the load's update fails the load.
  scene.armed = true;
  TGLFreeForm alternative(nullptr);
  (new TMeshObject(alternative.MeshObjects()))->SetName("alternative");
  TStringStream other(alternative.MeshObjects()->SaveToString());
  EXPECT_THROW(mesh->LoadFromStream("other.glsm", &other), EInvalidOperation);
  EXPECT_FALSE(scene.armed);
  EXPECT_EQ(mesh->MeshObjects()->SaveToString(), before);
  EXPECT_FALSE(scene.IsUpdating());

  // Read whole, a load replaces the mesh objects and the skeleton by what the file holds.
  TStringStream some("x");
  mesh->LoadFromStream("m.partly", &some);
  ASSERT_EQ(mesh->MeshObjects()->Count(), 1);
  EXPECT_EQ((*mesh->MeshObjects())[0]->Name(), "partly");
  EXPECT_EQ((*mesh->MeshObjects())[0]->Owner(), mesh->MeshObjects());
  EXPECT_EQ(mesh->Skeleton()->Frames()->Count(), 1);
  TStringStream again(data);
  mesh->LoadFromStream("again.glsm", &again);
  EXPECT_EQ(mesh->MeshObjects()->SaveToString(), data);
  EXPECT_EQ(mesh->Skeleton()->Frames()->Count(), 0);
}

TEST_F(GlsmTest, AutoCenteringScalingDimensionsAndRayCast) {
  TGLFreeForm mesh(nullptr);
  FillTwoTriangles(mesh);
  TStringStream s(mesh.MeshObjects()->SaveToString());

  TGLFreeForm centred(nullptr);
  centred.SetAutoCentering(1 << macCenterY);
  centred.AutoScaling()->SetX(2);
  centred.LoadFromStream("m.glsm", &s);
  TAffineVector mn, mx;
  centred.MeshObjects()->GetExtents(mn, mx);
  EXPECT_EQ(mn[0], 0);  // X scaled by 2, not centred
  EXPECT_EQ(mx[0], 4);
  EXPECT_EQ(mn[1], -2);  // Y centred
  EXPECT_EQ(mx[1], 2);
  EXPECT_EQ(mn[2], 0);
  const TVector4f dims = centred.AxisAlignedDimensionsUnscaled();
  EXPECT_EQ(dims[0], 4);
  EXPECT_EQ(dims[1], 2);
  EXPECT_EQ(dims[2], 6);
  // An empty mesh has no size, not the size of the empty box.
  const TVector4f none = TGLFreeForm(nullptr).AxisAlignedDimensionsUnscaled();
  EXPECT_EQ(none[0], 0);
  EXPECT_EQ(none[1], 0);
  EXPECT_EQ(none[2], 0);

  // The nearest of two hits along the ray.
  TVector4f point, normal;
  ASSERT_TRUE(mesh.RayCastIntersect(PointMake(0.5f, 0.5f, 10), VectorMake(0, 0, -1), &point, &normal));
  EXPECT_NEAR(point[2], 6, 1e-5);
  EXPECT_FALSE(mesh.RayCastIntersect(PointMake(5, 5, 10), VectorMake(0, 0, -1)));
}

TEST_F(GlsmTest, MeshObjectsDrawTheirPrimitives) {
  TGLFreeForm mesh(nullptr);
  FillTwoTriangles(mesh);
  auto* fgObject = new TMeshObject(mesh.MeshObjects());
  fgObject->SetMode(mdmFaceGroups);
  fgObject->Vertices()->AddTriple(V(0, 0, 0), V(1, 0, 0), V(0, 1, 0));
  fgObject->Vertices()->Add(1, 1, 0);
  auto* fan = new TFGVertexIndexList(fgObject->FaceGroups());
  fan->SetMode(fgpTriangleFan);
  for (int i : {0, 1, 3, 2}) fan->Add(i);
  auto* hidden = new TMeshObject(mesh.MeshObjects());
  hidden->Vertices()->AddTriple(V(0, 0, 0), V(1, 0, 0), V(0, 1, 0));
  hidden->SetVisible(false);

  TGLRecorder rec;
  TRenderContextInfo rci;
  mesh.BuildList(rci);
  // Plain triangles immediately, the index group as one indexed draw over client arrays.
  ASSERT_EQ(rec.Count("glBegin"), 1);
  EXPECT_EQ(rec.Count("glVertex3fv"), 6);
  ASSERT_EQ(rec.Count("glDrawElements"), 1);
  for (const auto& c : rec.Calls) {
    if (c.Name == "glBegin") {
      EXPECT_EQ(c.Args[0], GL_TRIANGLES);
    }
    if (c.Name == "glDrawElements") {
      EXPECT_EQ(c.Args[0], GL_TRIANGLE_FAN);
      EXPECT_EQ(c.Args[1], 4);
      EXPECT_EQ(c.Args[2], GL_UNSIGNED_INT);
    }
    if (c.Name == "glVertexPointer") {
      EXPECT_EQ(std::uintptr_t(c.Args[3]), reinterpret_cast<std::uintptr_t>(fgObject->Vertices()->List()));
    }
  }
  // No normals: no normal array that an index could read past; every array is switched off again.
  EXPECT_EQ(rec.Count("glNormalPointer"), 0);
  EXPECT_EQ(rec.Count("glEnableClientState"), 1);
  EXPECT_EQ(rec.Count("glDisableClientState"), 2);  // the texture array off, then the vertex array
  EXPECT_FALSE(fgObject->ArraysDeclared());

  // A face group pointing past the vertices is refused before anything is drawn.
  fan->Add(9);
  rec.Clear();
  EXPECT_THROW(fgObject->BuildList(rci), EAssertionFailed);
  EXPECT_EQ(rec.Count("glDrawElements"), 0);

  // Refused under its library material (grouped or not), the material is taken off again: the
  // next frame applies it afresh.
  TBookkeepingContext context;  // the shader's handle takes a name in it
  context.CreateOffScreen(nullptr, 1, 1);
  context.ActivateNested();
  struct TOnePass : TGLShader {
    using TGLShader::TGLShader;
    void DoApply(TRenderContextInfo&, TObject*) override {}
    bool DoUnApply(TRenderContextInfo&) override { return false; }
  } shader(nullptr);
  TGLMaterialLibrary library(nullptr);
  TGLLibMaterial* stone = library.Materials()->Add();
  stone->SetName("stone");
  stone->SetShader(&shader);
  fan->SetMaterialName("stone");
  fgObject->PrepareMaterialLibraryCache(&library);
  TGLStateCache cache;
  rci.GLStates = &cache;
  rci.materialLibrary = &library;
  for (int grouping : {0, 1}) {
    fgObject->SetRenderingOptions(std::uint8_t(grouping));
    EXPECT_THROW(fgObject->BuildList(rci), EAssertionFailed) << grouping;
    EXPECT_FALSE(shader.Active()) << grouping;
  }
  // A shader that asks for more passes is taken off as well, not left waiting for them.
  TMultiPassShader multi(nullptr);
  stone->SetShader(&multi);
  for (int grouping : {0, 1}) {
    fgObject->SetRenderingOptions(std::uint8_t(grouping));
    EXPECT_THROW(fgObject->BuildList(rci), EAssertionFailed) << grouping;
    EXPECT_FALSE(multi.Active()) << grouping;
  }
  fan->VertexIndices()->SetCount(fan->VertexIndices()->Count() - 1);
  EXPECT_NO_THROW(fgObject->BuildList(rci));
  EXPECT_FALSE(multi.Active());
  stone->SetShader(nullptr);

  // The same for the mesh's own material, around the whole mesh.
  TMultiPassShader own(nullptr);
  TGLMaterialLibrary ownLibrary(nullptr);
  mesh.Material()->SetMaterialLibrary(&ownLibrary);
  mesh.Material()->SetLibMaterialName(own.AddUser(ownLibrary)->Name());
  mesh.SetObjectStyle(mesh.ObjectStyle() | osDirectDraw);
  fan->Add(9);
  rci.materialLibrary = nullptr;
  EXPECT_THROW(mesh.DoRender(rci, true, false), EAssertionFailed);
  EXPECT_FALSE(own.Active());
  fan->VertexIndices()->SetCount(fan->VertexIndices()->Count() - 1);
  rec.Clear();
  mesh.DoRender(rci, true, false);
  EXPECT_EQ(own.applies, 2);
  EXPECT_EQ(rec.Count("glDrawElements"), 3);  // one draw per pass
  EXPECT_FALSE(own.Active());
  mesh.Material()->SetMaterialLibrary(nullptr);
  context.DeactivateNested();
}

TEST_F(GlsmTest, ALightMapIndexPastTheLibraryDrawsWithoutALightMap) {
  TGLFreeForm mesh(nullptr);
  auto* mo = new TMeshObject(mesh.MeshObjects());
  mo->SetMode(mdmFaceGroups);
  mo->Vertices()->AddTriple(V(0, 0, 0), V(1, 0, 0), V(0, 1, 0));
  auto* group = new TFGVertexIndexList(mo->FaceGroups());
  group->AddTriangle(0, 1, 2);
  group->SetLightMapIndex(2);  // the library holds one map
  TGLMaterialLibrary lightmaps(nullptr);
  lightmaps.Materials()->Add();
  TGLRecorder rec;
  GLCaps.ARB_multitexture = true;
  TRenderContextInfo rci;
  rci.lightmapLibrary = &lightmaps;
  for (int frame = 0; frame < 2; ++frame) EXPECT_NO_THROW(mo->BuildList(rci)) << frame;
  EXPECT_EQ(rec.Count("glDrawElements"), 2);
  EXPECT_EQ(rec.Count("glBindTexture"), 0);
}

}  // namespace

// Draws, into the current context's size x size viewport, a square of two index face groups (a
// strip and a fan) in green over black; the off-screen test reads the pixels.
void DrawFaceGroupSquareForPixelTest(int size) {
  RegisterGLVectorFileObjects();
  GL.glViewport(0, 0, size, size);
  GL.glClearColor(0, 0, 0, 1);
  GL.glClear(GL_COLOR_BUFFER_BIT);
  GL.glMatrixMode(GL_PROJECTION);
  GL.glLoadIdentity();
  GL.glOrtho(-2, 2, -2, 2, -10, 10);
  GL.glMatrixMode(GL_MODELVIEW);
  GL.glLoadIdentity();
  GL.glDisable(GL_LIGHTING);
  TGLFreeForm mesh(nullptr);
  auto* mo = new TMeshObject(mesh.MeshObjects());
  mo->SetMode(mdmFaceGroups);
  mo->Vertices()->AddTriple(V(-1, -1, 0), V(1, -1, 0), V(-1, 1, 0));
  mo->Vertices()->Add(1, 1, 0);
  for (int i = 0; i < 4; ++i) mo->Colors()->AddPointXYZ(0, 1, 0);
  auto* strip = new TFGVertexIndexList(mo->FaceGroups());
  strip->SetMode(fgpTriangleStrip);
  for (int i : {0, 1, 2}) strip->Add(i);
  auto* fan = new TFGVertexIndexList(mo->FaceGroups());
  fan->SetMode(fgpTriangleFan);
  for (int i : {1, 3, 2}) fan->Add(i);
  TGLStateCache cache;
  TRenderContextInfo rci;
  rci.GLStates = &cache;
  mesh.BuildList(rci);
  GL.glFinish();
}
