// Tests of mesh objects: strip conversion, triangle counts, face groups, morph targets, archives
// and broken archives, connectivity, and the one-call vertex-list mesh.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Source/Further/GLBaseMeshSilhouette.h"
#include "Source/Further/GLMesh.h"
#include "Source/Further/GLVectorFileObjects.h"
#include "Source/Further/MeshUtils.h"
#include "rtl/SysUtils.h"
#include "tests/Source/Base/GLRecorder.h"

namespace {

TAffineVector V(float x, float y, float z) { return TAffineVector{{x, y, z}}; }

void ExpectVec(const TAffineVector& a, const TAffineVector& b, float eps = 0) {
  EXPECT_NEAR(a[0], b[0], eps);
  EXPECT_NEAR(a[1], b[1], eps);
  EXPECT_NEAR(a[2], b[2], eps);
}

class MeshTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterGLVectorFileObjects(); }

  // A mesh object with five vertices p_i = (i, 0, 0), normals (0, 0, i) and tex coords (i, 1, 0).
  static TMeshObject* FivePoints(TMeshObjectList* list) {
    auto* mo = new TMeshObject(list);
    for (int i = 0; i < 5; ++i) {
      mo->Vertices()->Add(float(i), 0, 0);
      mo->Normals()->Add(0, 0, float(i));
      mo->TexCoords()->Add(float(i), 1, 0);
    }
    return mo;
  }
};

TEST_F(MeshTest, StripConversionKeepsWindingAndSkipsShortStrips) {
  TAffineVectorList strip, list;
  for (int i = 0; i < 5; ++i) strip.Add(float(i), 0, 0);
  list.Add(9, 9, 9);  // appended after what is there
  ConvertStripToList(&strip, &list);
  ASSERT_EQ(list.Count(), 1 + 9);
  const float expected[] = {0, 1, 2, 3, 2, 1, 2, 3, 4};
  for (int k = 0; k < 9; ++k) EXPECT_EQ(list[1 + k][0], expected[k]) << k;

  TAffineVectorList two, out;
  two.Add(0, 0, 0);
  two.Add(1, 0, 0);
  ConvertStripToList(&two, &out);
  EXPECT_EQ(out.Count(), 0);

  TIntegerList idx;
  for (int i : {4, 3, 2, 1}) idx.Add(i);
  TAffineVectorList indexed;
  ConvertIndexedStripToList(&strip, &idx, &indexed);
  ASSERT_EQ(indexed.Count(), 6);
  EXPECT_EQ(indexed[0][0], 4);
  EXPECT_EQ(indexed[3][0], 1);  // odd triangle reversed: (p[3], p[2], p[1]) -> 1, 2, 3
  idx.Add(7);
  EXPECT_THROW(ConvertIndexedStripToList(&strip, &idx, &indexed), EAssertionFailed);
}

TEST_F(MeshTest, TriangleCountsAndExtractionByMode) {
  TMeshObjectList list;
  TMeshObject* mo = FivePoints(&list);
  EXPECT_EQ(mo->Owner(), &list);
  mo->SetMode(mdmTriangleStrip);
  EXPECT_EQ(mo->TriangleCount(), 3);
  TAffineVectorList tex, normals;
  std::unique_ptr<TAffineVectorList> tris(mo->ExtractTriangles(&tex, &normals));
  ASSERT_EQ(tris->Count(), 9);
  EXPECT_EQ(tex.Count(), 9);
  EXPECT_EQ(normals.Count(), 9);
  EXPECT_EQ((*tris)[3][0], 3);
  EXPECT_EQ(normals[3][2], 3);

  mo->SetMode(mdmTriangles);
  EXPECT_EQ(mo->TriangleCount(), 1);
  tris.reset(mo->ExtractTriangles());
  EXPECT_EQ(tris->Count(), 0);  // 5 is not a multiple of 3

  TMeshObject strip2;
  strip2.SetMode(mdmTriangleStrip);
  strip2.Vertices()->Add(0, 0, 0);
  strip2.Vertices()->Add(1, 0, 0);
  EXPECT_EQ(strip2.TriangleCount(), 0);

  mo->SetMode(static_cast<TMeshObjectDrawMode>(7));
  EXPECT_THROW(delete mo->ExtractTriangles(), EAssertionFailed);
}

TEST_F(MeshTest, FaceGroupsByPrimitive) {
  TMeshObjectList list;
  TMeshObject* mo = FivePoints(&list);
  mo->SetMode(mdmFaceGroups);
  auto* fan = new TFGVertexIndexList(mo->FaceGroups());
  fan->SetMode(fgpTriangleFan);
  for (int i = 0; i < 5; ++i) fan->Add(i);
  auto* quads = new TFGVertexIndexList(mo->FaceGroups());
  quads->SetMode(fgpQuads);
  for (int i : {0, 1, 2, 3, 4, 0}) quads->Add(i);  // one quad, two indices left over
  EXPECT_EQ(mo->FaceGroups()->Count(), 2);
  EXPECT_EQ(mo->TriangleCount(), 3 + 2);

  TAffineVectorList normals;
  std::unique_ptr<TAffineVectorList> tris(mo->ExtractTriangles(nullptr, &normals));
  ASSERT_EQ(tris->Count(), 9 + 6);
  const float expected[] = {0, 1, 2, 0, 2, 3, 0, 3, 4, 0, 1, 2, 0, 2, 3};
  for (int k = 0; k < 15; ++k) EXPECT_EQ((*tris)[k][0], expected[k]) << k;
  EXPECT_EQ(normals.Count(), 15);

  // Without normals in the mesh object, the normal list still grows in step.
  mo->Normals()->Clear();
  TAffineVectorList nulls;
  tris.reset(mo->ExtractTriangles(nullptr, &nulls));
  ASSERT_EQ(nulls.Count(), 15);
  ExpectVec(nulls[14], V(0, 0, 0));

  // An index past the vertex list is refused, not read.
  fan->Add(50);
  EXPECT_THROW(delete mo->ExtractTriangles(), EAssertionFailed);

  quads->ConvertToList();
  EXPECT_EQ(quads->Mode(), fgpTriangles);
  EXPECT_EQ(quads->VertexIndices()->Count(), 6);

  // Freeing a group takes it out of its owner's list.
  delete fan;
  EXPECT_EQ(mo->FaceGroups()->Count(), 1);
}

TEST_F(MeshTest, NormalTexIndexGroupUsesItsOwnIndices) {
  TMeshObject mo;
  mo.SetMode(mdmFaceGroups);
  for (int i = 0; i < 3; ++i) mo.Vertices()->Add(float(i), 0, 0);
  mo.Normals()->Add(0, 0, 1);
  auto* fg = new TFGVertexNormalTexIndexList(mo.FaceGroups());
  fg->AddTriangle(0, 1, 2);
  fg->NormalIndices()->AddTriple(0, 0, 0);
  TAffineVectorList normals;
  std::unique_ptr<TAffineVectorList> tris(mo.ExtractTriangles(nullptr, &normals));
  ASSERT_EQ(normals.Count(), 3);
  ExpectVec(normals[2], V(0, 0, 1));
}

TEST_F(MeshTest, MorphTargetsAndListQueries) {
  TMeshObjectList list;
  TAffineVector mn, mx;
  list.GetExtents(mn, mx);
  ExpectVec(mn, V(1e30f, 1e30f, 1e30f));
  ExpectVec(mx, V(-1e30f, -1e30f, -1e30f));
  FivePoints(&list);
  EXPECT_EQ(list.MorphTargetCount(), 0);

  auto* mo = new TMorphableMeshObject(&list);
  mo->Vertices()->Add(0, 0, 0);
  mo->MorphTo(0);  // no targets: nothing
  EXPECT_THROW(mo->MorphTo(1), EAssertionFailed);
  auto* t0 = new TMeshMorphTarget(mo->MorphTargets());
  t0->Vertices()->Add(0, 0, 0);
  t0->Normals()->Add(1, 0, 0);
  auto* t1 = new TMeshMorphTarget(mo->MorphTargets());
  t1->Vertices()->Add(2, 4, 6);
  t1->Normals()->Add(0, 1, 0);
  EXPECT_EQ(list.MorphTargetCount(), 2);

  list.Lerp(0, 1, 0.0f);
  ExpectVec((*mo->Vertices())[0], V(0, 0, 0));
  list.Lerp(0, 1, 1.0f);
  ExpectVec((*mo->Vertices())[0], V(2, 4, 6));
  list.Lerp(0, 1, 0.5f);
  ExpectVec((*mo->Vertices())[0], V(1, 2, 3));
  ExpectVec((*mo->Normals())[0], V(0.70710678f, 0.70710678f, 0), 1e-6f);
  EXPECT_THROW(list.Lerp(0, 2, 0.5f), EAssertionFailed);

  list.Translate(V(1, 0, 0));
  ExpectVec((*t1->Vertices())[0], V(3, 4, 6));  // targets move with their mesh object
  list.GetExtents(mn, mx);
  ExpectVec(mn, V(1, 0, 0));
  ExpectVec(mx, V(5, 2, 3));
  EXPECT_TRUE(mo->PointInObject(V(2, 2, 3)));
  EXPECT_FALSE(mo->PointInObject(V(2, 2.1f, 3)));
}

TEST_F(MeshTest, ArchivesRoundTripAndOlderVersionsRead) {
  TMeshObjectList list;
  TMeshObject* mo = FivePoints(&list);
  mo->SetName("body");
  mo->SetVisible(false);
  mo->SetMode(mdmFaceGroups);
  mo->SetRenderingOptions(1);
  mo->LightMapTexCoords()->Add(0.5f, 0.25f);
  mo->Colors()->AddPointXYZ(1, 0, 0);
  mo->TexCoordsEx(1)->AddPointXYZ(7, 7, 7);
  mo->SetAuxTexCoordIndexA(4);
  auto* fg = new TFGIndexTexCoordList(mo->FaceGroups());
  fg->SetMaterialName("stone");
  fg->SetLightMapIndex(3);
  fg->AddTriangle(0, 1, 2);
  for (int i = 0; i < 3; ++i) fg->TexCoords()->Add(1, 2, float(i));  // one per index: drawable
  auto* plain = new TFGVertexIndexList(mo->FaceGroups());
  plain->SetMaterialName("wood");

  TMeshObjectList copy;
  copy.LoadFromString(list.SaveToString());
  ASSERT_EQ(copy.Count(), 1);
  TMeshObject* c = copy[0];
  EXPECT_EQ(c->Owner(), &copy);
  EXPECT_EQ(c->Name(), "body");
  EXPECT_FALSE(c->Visible());
  EXPECT_EQ(c->Mode(), mdmFaceGroups);
  EXPECT_EQ(c->RenderingOptions(), 1);
  EXPECT_EQ(c->LightMapTexCoords()->Count(), 1);
  EXPECT_EQ(c->TexCoordsExCount(), 2);
  EXPECT_EQ(c->TexCoordsEx(1)->Count(), 1);
  EXPECT_EQ(c->AuxTexCoordIndexA(), 4);
  EXPECT_EQ(c->AuxTexCoordIndexB(), 1);
  ASSERT_EQ(c->FaceGroups()->Count(), 2);
  auto* cfg = static_cast<TFGIndexTexCoordList*>((*c->FaceGroups())[0]);
  EXPECT_EQ(cfg->ClassName(), "TFGIndexTexCoordList");
  EXPECT_EQ(cfg->Owner(), c->FaceGroups());
  EXPECT_EQ(cfg->MaterialName(), "stone");
  EXPECT_EQ(cfg->LightMapIndex(), 3);
  EXPECT_EQ(cfg->TexCoords()->Count(), 3);
  EXPECT_EQ((*c->FaceGroups())[1]->LightMapIndex(), -1);
  EXPECT_EQ(copy.SaveToString(), list.SaveToString());

  // A group without a light map is written as version 0: no index field.
  TFaceGroup g;
  g.SetMaterialName("m");
  TStringStream s;
  TBinaryWriter w(&s);
  g.WriteToFiler(&w);
  s.SetPosition(0);
  TBinaryReader r(&s);
  EXPECT_EQ(r.ReadInteger(), 0);
  EXPECT_EQ(r.ReadString(), "m");
  EXPECT_EQ(s.Position(), s.Size());

  // Version 0 of a mesh object: no light-map list, nothing after the options byte.
  TMeshObject old;
  old.LightMapTexCoords()->Add(1, 1);
  old.SetAuxTexCoordIndexA(9);
  TStringStream s0;
  {
    TBinaryWriter w0(&s0);
    TBaseMeshObject base;
    base.WriteToFiler(&w0);
    w0.WriteInteger(0);
    TAffineVectorList().WriteToFiler(&w0);
    TVectorList().WriteToFiler(&w0);
    TFaceGroups().WriteToFiler(&w0);
    w0.WriteInteger(mdmTriangleStrip);
    w0.WriteInteger(1);
    const std::uint8_t opts = 0;
    w0.Write(&opts, 1);
  }
  s0.SetPosition(0);
  TBinaryReader r0(&s0);
  old.ReadFromFiler(&r0);
  EXPECT_EQ(old.LightMapTexCoords()->Count(), 0);
  EXPECT_EQ(old.Mode(), mdmTriangleStrip);
  EXPECT_EQ(old.AuxTexCoordIndexA(), 9);  // untouched by version 0
  EXPECT_EQ(old.AuxTexCoordIndexB(), 1);
  EXPECT_EQ(s0.Position(), s0.Size());
}

// The stored form of a mesh object field by field, as other tools write and read it.
TEST_F(MeshTest, MeshObjectArchivesKeepTheirFieldOrder) {
  TSkeletonMeshObject mo;
  mo.SetName("hull");
  mo.SetVisible(false);
  mo.Vertices()->Add(1, 2, 3);
  mo.Normals()->Add(0, 0, 1);
  mo.TexCoords()->Add(0.5f, 0.25f, 0);
  mo.LightMapTexCoords()->Add(0.75f, 1);
  mo.Colors()->AddPointXYZ(1, 0, 0);
  mo.SetMode(mdmTriangleStrip);
  mo.SetRenderingOptions(1);
  mo.TexCoordsEx(1)->AddPointXYZ(7, 8, 9);
  mo.SetAuxTexCoordIndexA(5);
  mo.SetAuxTexCoordIndexB(3);
  mo.AddWeightedBone(4, 0.5f);
  TStringStream actual;
  {
    TBinaryWriter w(&actual);
    mo.WriteToFiler(&w);
  }

  // The archive with the given mode and weight block (count, bones per vertex, entries written).
  auto archive = [&mo](int mode, int count, int perVertex, int entries) {
    TStringStream out;
    TBinaryWriter w(&out);
    w.WriteInteger(1);  // base mesh object
    w.WriteString("hull");
    mo.Vertices()->WriteToFiler(&w);
    mo.Normals()->WriteToFiler(&w);
    w.WriteBoolean(false);
    w.WriteInteger(2);  // mesh object
    mo.TexCoords()->WriteToFiler(&w);
    mo.LightMapTexCoords()->WriteToFiler(&w);
    mo.Colors()->WriteToFiler(&w);
    TFaceGroups().WriteToFiler(&w);
    w.WriteInteger(mode);
    w.WriteInteger(1);
    const std::uint8_t options = 1;
    w.Write(&options, 1);
    w.WriteInteger(2);
    TVectorList().WriteToFiler(&w);
    mo.TexCoordsEx(1)->WriteToFiler(&w);
    w.WriteInteger(5);
    w.WriteInteger(3);
    w.WriteInteger(0);  // morphable: no targets
    TMeshMorphTargetList().WriteToFiler(&w);
    w.WriteInteger(0);  // skinned: count, bones per vertex, then the raw entries
    w.WriteInteger(count);
    w.WriteInteger(perVertex);
    const TVertexBoneWeight weight{4, 0.5f};
    for (int i = 0; i < entries; ++i) w.Write(&weight, 8);
    return out.DataString();
  };
  EXPECT_EQ(actual.DataString(), archive(mdmTriangleStrip, 1, 1, 1));

  // Read back: a mode past the last one, and a block whose byte size wraps past 2^64 to 64,
  // are the stream's errors.
  auto read = [](const std::string& data) {
    TStringStream in(data);
    TBinaryReader r(&in);
    TSkeletonMeshObject back;
    back.ReadFromFiler(&r);
    return back.Mode();
  };
  EXPECT_EQ(read(archive(mdmFaceGroups, 1, 1, 1)), mdmFaceGroups);
  EXPECT_THROW(read(archive(258, 1, 1, 1)), EReadError);
  EXPECT_THROW(read(archive(mdmTriangles, 1073807362, 2147352580, 8)), EReadError);
  TStringStream group;
  {
    TBinaryWriter w(&group);
    w.WriteInteger(0);  // face group: no light map, no material
    w.WriteString("");
    w.WriteInteger(0);
    TIntegerList().WriteToFiler(&w);
    w.WriteInteger(fgpQuads + 1);
  }
  group.SetPosition(0);
  TBinaryReader r(&group);
  EXPECT_THROW(TFGVertexIndexList().ReadFromFiler(&r), EReadError);
}

TEST_F(MeshTest, BrokenArchivesAreRefused) {
  TMeshObjectList list;
  FivePoints(&list);
  const std::string good = list.SaveToString();

  // Unknown versions.
  TStringStream s;
  {
    TBinaryWriter w(&s);
    w.WriteInteger(2);
  }
  s.SetPosition(0);
  TBinaryReader r(&s);
  TBaseMeshObject b;
  try {
    b.ReadFromFiler(&r);
    FAIL();
  } catch (const EFilerException& e) {
    EXPECT_EQ(e.Message(), "TBaseMeshObject : unknown archive version 2");
  }

  // An item that is no mesh object.
  TPersistentObjectList foreign;
  foreign.Add(new TAffineVectorList);
  const std::string wrong = foreign.SaveToString();
  foreign.FreeItemsAndClear();
  RegisterVectorLists();
  TMeshObjectList target;
  EXPECT_THROW(target.LoadFromString(wrong), EFilerException);
  EXPECT_EQ(target.Count(), 0);

  // Every truncation fails with an exception.
  for (std::size_t n = 0; n < good.size(); ++n) {
    TMeshObjectList t;
    EXPECT_ANY_THROW(t.LoadFromString(good.substr(0, n))) << n;
  }
}

TEST_F(MeshTest, StoredMeshesThatWouldFailAtEveryDrawAreRefusedWhenRead) {
  // Each case breaks one part of a sound list: a morphable "body" of five points with two
  // targets, and a mesh object "faces" with one group of each kind.
  struct TCase {
    const char* error;
    std::function<void(TMorphableMeshObject*, TFGVertexNormalTexIndexList*, TFGIndexTexCoordList*)> breakIt;
  };
  const std::vector<TCase> cases = {
      {"", [](auto...) {}},
      {"TMorphableMeshObject \"body\" : morph target 1 has 4 vertices, target 0 has 5",
       [](auto* body, auto...) { (*body->MorphTargets())[1]->Vertices()->SetCount(4); }},
      {"TMorphableMeshObject \"body\" : morph target 1 has 0 normals, target 0 has 5",
       [](auto* body, auto...) { (*body->MorphTargets())[1]->Normals()->Clear(); }},
      {"TMorphableMeshObject \"body\" : morph targets have 5 vertices, the object has 4",
       [](auto* body, auto...) { body->Vertices()->SetCount(4); }},
      {"TMeshObject \"faces\" : face group 0 : vertex index 5 outside the 5 vertices",
       [](auto*, auto* normalTex, auto*) { normalTex->Add(5); }},
      {"TMeshObject \"faces\" : face group 1 : vertex index -1 outside the 5 vertices",
       [](auto*, auto*, auto* texCoord) { (*texCoord->VertexIndices())[0] = -1; }},
      {"TMeshObject \"faces\" : face group 0 : 2 normal indices for 3 vertex indices",
       [](auto*, auto* normalTex, auto*) { normalTex->NormalIndices()->SetCount(2); }},
      {"TMeshObject \"faces\" : face group 0 : texture coordinate index 7 outside the 5 texture coordinates",
       [](auto*, auto* normalTex, auto*) { (*normalTex->TexCoordIndices())[2] = 7; }},
      {"TMeshObject \"faces\" : face group 1 : 2 texture coordinates for 3 vertex indices",
       [](auto*, auto*, auto* texCoord) { texCoord->TexCoords()->SetCount(2); }},
      {"TMeshObject \"faces\" : face group 1 : TFGIndexTexCoordList cannot draw quads",
       [](auto*, auto*, auto* texCoord) { texCoord->SetMode(fgpQuads); }},
  };
  for (const TCase& c : cases) {
    TMeshObjectList list;
    auto* body = new TMorphableMeshObject(&list);
    body->SetName("body");
    for (int t = 0; t < 2; ++t) {
      auto* target = new TMeshMorphTarget(body->MorphTargets());
      for (int i = 0; i < 5; ++i) {
        target->Vertices()->Add(float(i), float(t), 0);
        target->Normals()->Add(0, 0, 1);
      }
    }
    body->Vertices()->Assign((*body->MorphTargets())[0]->Vertices());
    TMeshObject* faces = FivePoints(&list);
    faces->SetName("faces");
    faces->SetMode(mdmFaceGroups);
    auto* normalTex = new TFGVertexNormalTexIndexList(faces->FaceGroups());
    for (int i : {0, 1, 2}) {
      normalTex->Add(i);
      normalTex->NormalIndices()->Add(4 - i);
      normalTex->TexCoordIndices()->Add(i);
    }
    auto* texCoord = new TFGIndexTexCoordList(faces->FaceGroups());
    for (int i : {2, 3, 4}) {
      texCoord->Add(i);
      texCoord->TexCoords()->Add(float(i), 0, 0);
    }
    c.breakIt(body, normalTex, texCoord);
    const std::string stored = list.SaveToString();
    TMeshObjectList back;
    if (!*c.error) {
      back.LoadFromString(stored);
      EXPECT_EQ(back.Count(), 2);
      continue;
    }
    try {
      back.LoadFromString(stored);
      ADD_FAILURE() << c.error;
    } catch (const EReadError& e) {
      EXPECT_EQ(e.Message(), c.error);
    }
    EXPECT_EQ(back.Count(), 0) << c.error;  // nothing half-usable kept
  }
}

TEST_F(MeshTest, ConnectivitySharesTheMeshVerticesAndFollowsPrimitives) {
  TGLFreeForm mesh(nullptr);
  auto* mo = new TMeshObject(mesh.MeshObjects());
  mo->SetMode(mdmFaceGroups);
  for (int i = 0; i < 5; ++i) mo->Vertices()->Add(float(i), float(i * i), 0);
  auto* fan = new TFGVertexIndexList(mo->FaceGroups());
  fan->SetMode(fgpTriangleFan);
  for (int i = 0; i < 5; ++i) fan->Add(i);

  TGLBaseMeshConnectivity conn(&mesh);
  EXPECT_TRUE(conn.PrecomputeFaceNormal());
  ASSERT_EQ(conn.FaceGroupConnectivityCount(), 1);
  TFaceGroupConnectivity* fg = conn.FaceGroupConnectivity(0);
  EXPECT_FALSE(fg->OwnsVertices());
  EXPECT_EQ(fg->Vertices(), mo->Vertices());
  EXPECT_EQ(conn.FaceCount(), 3);
  for (int f = 0; f < 3; ++f) EXPECT_EQ((*fg->FaceVertexIndex())[3 * f], 0);  // all share idx[0]
  EXPECT_EQ(conn.EdgeCount(), 7);

  // Clearing keeps the mesh's vertices; Clear(true) keeps the connectivities.
  conn.Clear(true);
  EXPECT_EQ(conn.FaceGroupConnectivityCount(), 1);
  EXPECT_EQ(conn.FaceCount(), 0);
  EXPECT_EQ(mo->Vertices()->Count(), 5);
  conn.Clear(false);
  EXPECT_EQ(conn.FaceGroupConnectivityCount(), 0);

  // An existing silhouette is emptied before the groups add to it.
  TGLBaseMeshConnectivity again(&mesh);
  auto sil = std::make_unique<TGLSilhouette>();
  sil->Indices()->AddPair(7, 7);
  TGLSilhouetteParameters params;
  params.SeenFrom = V(0, 0, -10);  // behind the faces: their rim is the silhouette
  again.CreateSilhouette(params, sil, true);
  for (int i = 0; i < sil->Indices()->Count(); ++i) EXPECT_NE((*sil->Indices())[i], 7);
  EXPECT_GT(sil->Indices()->Count(), 0);
  std::unique_ptr<TGLSilhouette> generated(mesh.GenerateSilhouette(params));
  EXPECT_EQ(generated->Indices()->Count(), sil->Indices()->Count());

  TGLActor actor(nullptr);
  EXPECT_FALSE(TGLBaseMeshConnectivity(&actor).PrecomputeFaceNormal());

  // A quad is two triangles sharing its diagonal; the fifth index starts no quad.
  fan->SetMode(fgpQuads);
  TGLBaseMeshConnectivity quads(&mesh);
  EXPECT_EQ(quads.FaceCount(), 2);
  EXPECT_EQ(quads.EdgeCount(), 5);
  const TIntegerList& corners = *quads.FaceGroupConnectivity(0)->FaceVertexIndex();
  EXPECT_EQ((std::vector<int>{corners[0], corners[1], corners[2], corners[3], corners[4], corners[5]}),
            (std::vector<int>{0, 1, 2, 0, 2, 3}));
  // Groups that are no index lists are refused.
  fan->SetMode(fgpTriangles);
  new TFaceGroup(mo->FaceGroups());
  EXPECT_THROW(TGLBaseMeshConnectivity{&mesh}, EAssertionFailed);
}

TEST(VertexListMeshTest, DrawsItsRecordsWithOneArrayAndOneCall) {
  TGLMesh mesh(nullptr);
  ASSERT_EQ(mesh.VertexList()->Count(), 3);
  ExpectVec(mesh.VertexList()->Vertices(2).coord, V(0, 0, 1));
  ExpectVec(mesh.VertexList()->Vertices(0).normal, V(0, 0, 1));

  TGLRecorder rec;
  TRenderContextInfo rci;
  mesh.BuildList(rci);
  ASSERT_EQ(rec.Count("glInterleavedArrays"), 1);
  ASSERT_EQ(rec.Count("glDrawArrays"), 1);
  for (const auto& c : rec.Calls) {
    if (c.Name == "glInterleavedArrays") {
      EXPECT_EQ(c.Args[0], GL_T2F_C4F_N3F_V3F);
      EXPECT_EQ(c.Args[1], 0);
    }
    if (c.Name == "glDrawArrays") {
      EXPECT_EQ(c.Args[0], GL_TRIANGLE_STRIP);
      EXPECT_EQ(c.Args[2], 3);
    }
  }
  EXPECT_EQ(rec.Count("glPushAttrib"), rec.Count("glPopAttrib"));
  // The client arrays the draw enabled are restored with it.
  EXPECT_EQ(rec.Count("glPushClientAttrib"), 1);
  EXPECT_EQ(rec.Count("glPopClientAttrib"), 1);
  for (const auto& c : rec.Calls) {
    if (c.Name == "glPushClientAttrib") {
      EXPECT_EQ(c.Args[0], GL_CLIENT_VERTEX_ARRAY_BIT);
    }
  }

  // Coordinates and texture coordinates of the records in the texture-only mode.
  mesh.SetVertexMode(vmVT);
  mesh.SetMode(mmPolygon);
  rec.Clear();
  mesh.BuildList(rci);
  const auto base = reinterpret_cast<std::uintptr_t>(mesh.VertexList()->List());
  for (const auto& c : rec.Calls) {
    if (c.Name == "glInterleavedArrays") {
      EXPECT_EQ(c.Args[0], GL_V3F);
      EXPECT_EQ(c.Args[1], 48);
      EXPECT_EQ(std::uintptr_t(c.Args[2]), base + 36);
    }
    if (c.Name == "glTexCoordPointer") {
      EXPECT_EQ(c.Args[2], 48);
      EXPECT_EQ(std::uintptr_t(c.Args[3]), base);
    }
    if (c.Name == "glDrawArrays") {
      EXPECT_EQ(c.Args[0], GL_POLYGON);
    }
  }
  EXPECT_EQ(rec.Count("glTexCoordPointer"), 1);
  EXPECT_EQ(rec.Count("glEnable"), 0);  // no colour material without colours
  mesh.SetVertexMode(TVertexMode(9));   // no layout for it
  try {
    mesh.BuildList(rci);
    FAIL();
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(e.Message().find("Interleaved Array format not supported yet. Sorry."), std::string::npos);
  }
  mesh.SetVertexMode(vmVT);

  // Without a current context locking changes nothing, and adding keeps working.
  mesh.VertexList()->SetGrowth(2);
  mesh.VertexList()->SetLocked(true);
  EXPECT_FALSE(mesh.VertexList()->Locked());
  mesh.VertexList()->AddVertex(V(5, 5, 5), V(0, 1, 0), TVector4f{{1, 1, 1, 1}}, TTexPoint{1, 1});
  EXPECT_EQ(mesh.VertexList()->Count(), 4);
  TGLMesh copy(nullptr);
  copy.Assign(&mesh);
  EXPECT_EQ(copy.VertexList()->Count(), 4);
  EXPECT_EQ(copy.VertexMode(), vmVT);
}

// A mesh's records come back through the stored form; a mesh holding the three a new one holds
// stores none (a stored scene without them, as all were before, keeps those three); damaged
// record data is refused and changes nothing.
TEST(VertexListMeshTest, RecordsComeBackThroughTheStoredForm) {
  RegisterGLMesh();
  auto stored = [](TGLMesh& from, TGLMesh& to) {
    TMemoryStream ms;
    TWriter(&ms).WriteRootComponent(&from);
    ms.SetPosition(0);
    TReader(&ms).ReadRootComponent(&to);
    return std::string(static_cast<const char*>(ms.Memory()), size_t(ms.Size()));
  };
  TGLMesh mesh(nullptr);
  mesh.VertexList()->Clear();
  for (int i = 0; i < 13; ++i)
    mesh.VertexList()->AddVertex(V(float(i), float(i % 3), -1), V(0, 1, 0), TVector4f{{0.5f, 0.25f, 1, 1}},
                                 TTexPoint{float(i) / 12, 1});
  mesh.SetMode(mmTriangleFan);
  TGLMesh back(nullptr);
  const std::string bytes = stored(mesh, back);
  ASSERT_EQ(back.VertexList()->Count(), 13);
  EXPECT_EQ(back.Mode(), mmTriangleFan);
  ExpectVec(back.VertexList()->Vertices(12).coord, V(12, 0, -1));
  ExpectVec(back.VertexList()->Vertices(12).normal, V(0, 1, 0));
  EXPECT_EQ(back.VertexList()->Vertices(7).color[1], 0.25f);
  EXPECT_EQ(back.VertexList()->Vertices(6).textCoord.S, 0.5f);

  // None at all is kept too.
  mesh.VertexList()->Clear();
  stored(mesh, back);
  EXPECT_EQ(back.VertexList()->Count(), 0);

  TGLMesh plain(nullptr), plainBack(nullptr);
  EXPECT_EQ(stored(plain, plainBack).find("VertexData"), std::string::npos);
  EXPECT_EQ(plainBack.VertexList()->Count(), 3);

  // A count that does not match the records: refused with what was wrong, the mesh's records
  // unchanged.
  const std::int32_t thirteen = 13;
  const size_t at = bytes.find(std::string(reinterpret_cast<const char*>(&thirteen), 4), bytes.find("VertexData"));
  ASSERT_NE(at, std::string::npos);
  std::string wrong = bytes;
  wrong[at] = 14;
  TMemoryStream damaged;
  damaged.WriteBuffer(wrong.data(), std::int64_t(wrong.size()));
  damaged.SetPosition(0);
  TGLMesh into(nullptr);
  try {
    TReader(&damaged).ReadRootComponent(&into);
    ADD_FAILURE() << "read";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "Invalid vertex data of 628 bytes");
  }
  EXPECT_EQ(into.VertexList()->Count(), 3);
}

}  // namespace
