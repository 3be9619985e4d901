// Tests of skeletons: bone matrices and look-up, frame interpolation and blending, skinned
// vertices, and archives of bones, frames and colliders.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "Source/Further/GLVectorFileObjects.h"
#include "rtl/SysUtils.h"
#include "tests/Source/Base/GLRecorder.h"

namespace {

TAffineVector V(float x, float y, float z) { return TAffineVector{{x, y, z}}; }

void ExpectVec(const TAffineVector& a, const TAffineVector& b, float eps = 1e-5f) {
  EXPECT_NEAR(a[0], b[0], eps);
  EXPECT_NEAR(a[1], b[1], eps);
  EXPECT_NEAR(a[2], b[2], eps);
}

TSkeletonFrame* AddFrame(TSkeleton& s, std::initializer_list<TAffineVector> pos,
                         std::initializer_list<TAffineVector> rot) {
  auto* f = new TSkeletonFrame;
  s.Frames()->Add(f);
  for (const auto& p : pos) f->Position()->Add(p);
  for (const auto& r : rot) f->Rotation()->Add(r);
  return f;
}

class SkeletonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterGLVectorFileObjects();
    list.SetSkeleton(&skeleton);
    skeleton.SetMeshObjects(&list);
    root = new TSkeletonBone(skeleton.RootBones(), 0);
    root->SetName("Root");
    child = new TSkeletonBone(root, 1);
    child->SetName("Arm");
  }

  TSkeleton skeleton;
  TMeshObjectList list;
  TSkeletonBone* root = nullptr;
  TSkeletonBone* child = nullptr;
};

TEST_F(SkeletonTest, LocalMatricesFollowTransformMode) {
  TSkeletonFrame* f = AddFrame(skeleton, {V(1, 2, 3), V(0, 0, 0)}, {V(0, 0, 0), V(0, 0, float(M_PI / 2))});
  const auto& m = f->LocalMatrixList();
  ASSERT_EQ(m.size(), 2u);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_EQ(m[0][r][c], r == c ? 1.0f : 0.0f);
  EXPECT_EQ(m[0][3][0], 1);
  EXPECT_EQ(m[0][3][2], 3);
  EXPECT_EQ(m[0][3][3], 1);
  // A quarter turn about Z turns X into +/-Y: the rotation is not lost.
  ExpectVec(AffineVectorTransform(V(1, 0, 0), m[1]), V(0, std::copysign(1.0f, m[1][0][1]), 0));

  // Changing the lists through the frame discards the cache.
  f->Position()->Put(0, V(5, 5, 5));
  EXPECT_EQ(f->LocalMatrixList()[0][3][0], 5);

  f->SetTransformMode(sftQuaternion);
  f->Quaternion()->Add(IdentityQuaternion);
  ASSERT_EQ(f->LocalMatrixList().size(), 1u);
  EXPECT_EQ(f->LocalMatrixList()[0][3][1], 5);
}

TEST_F(SkeletonTest, BoneLookupAndGlobalMatrices) {
  EXPECT_EQ(skeleton.BoneByID(1), child);
  EXPECT_EQ(skeleton.BoneByID(7), nullptr);
  EXPECT_EQ(skeleton.BoneByName("Arm"), child);
  EXPECT_EQ(skeleton.BoneByName("arm"), nullptr);
  EXPECT_EQ(child->Skeleton(), &skeleton);

  AddFrame(skeleton, {V(1, 0, 0), V(0, 2, 0)}, {V(0, 0, 0), V(0, 0, 0)});
  skeleton.RootBones()->PrepareGlobalMatrices();
  EXPECT_EQ(root->GlobalMatrix()[3][0], 1);
  EXPECT_EQ(child->GlobalMatrix()[3][0], 1);  // the parent's translation is inherited
  EXPECT_EQ(child->GlobalMatrix()[3][1], 2);

  auto* collider = new TSkeletonCollider(skeleton.Colliders());
  collider->SetBone(child);
  TMatrix4f local = IdentityHmgMatrix;
  local[3][2] = 4;
  collider->SetLocalMatrix(local);
  skeleton.Colliders()->AlignColliders();
  EXPECT_EQ(collider->GlobalMatrix()[3][0], 1);
  EXPECT_EQ(collider->GlobalMatrix()[3][2], 4);

  // A bone freed on its own leaves its parent, the ID table and the colliders bound to it.
  auto* hand = new TSkeletonBone(child, 2);
  auto* held = new TSkeletonCollider(skeleton.Colliders());
  held->SetBone(hand);
  EXPECT_EQ(skeleton.BoneByID(2), hand);
  delete child;
  EXPECT_EQ(root->Count(), 0);
  EXPECT_EQ(skeleton.BoneByID(1), nullptr);
  EXPECT_EQ(skeleton.BoneByID(2), nullptr);
  EXPECT_EQ(collider->Bone(), nullptr);
  EXPECT_EQ(held->Bone(), nullptr);
  skeleton.Colliders()->AlignColliders();
}

TEST_F(SkeletonTest, LerpAndBlendedLerps) {
  AddFrame(skeleton, {V(0, 0, 0), V(0, 0, 0)}, {V(0, 0, 0), V(0, 0, 0)});
  AddFrame(skeleton, {V(2, 0, 0), V(0, 4, 0)}, {V(0, 1, 0), V(0, 0, 0)});
  skeleton.Lerp(0, 1, 0.5f);
  ExpectVec((*skeleton.CurrentFrame()->Position())[1], V(0, 2, 0));
  ExpectVec((*skeleton.CurrentFrame()->Rotation())[0], V(0, 0.5f, 0));
  EXPECT_THROW(skeleton.Lerp(0, 2, 0.5f), EAssertionFailed);
  EXPECT_THROW(skeleton.BlendedLerps({}), EAssertionFailed);

  TAffineVectorList external;
  external.Add(10, 0, 0);
  external.Add(0, 0, 0);
  TBlendedLerpInfo a;
  a.frameIndex1 = 0;
  a.frameIndex2 = 1;
  a.lerpFactor = 1;
  a.weight = 0.5f;  // first entry's positions scaled by its weight
  TBlendedLerpInfo b;
  b.frameIndex1 = b.frameIndex2 = 0;
  b.externalPositions = &external;
  skeleton.BlendedLerps({a, b});
  ExpectVec((*skeleton.CurrentFrame()->Position())[0], V(11, 0, 0));
  ExpectVec((*skeleton.CurrentFrame()->Position())[1], V(0, 2, 0));
}

TEST_F(SkeletonTest, SkinnedVerticesFollowTheirBones) {
  // Rest pose: bone 0 at the origin, bone 1 at (0, 2, 0) (below the root).
  AddFrame(skeleton, {V(0, 0, 0), V(0, 2, 0)}, {V(0, 0, 0), V(0, 0, 0)});
  AddFrame(skeleton, {V(1, 0, 0), V(0, 2, 0)}, {V(0, 0, 0), V(0, 0, 0)});
  skeleton.RootBones()->PrepareGlobalMatrices();

  auto* mo = new TSkeletonMeshObject(&list);
  for (int i = 0; i < 3; ++i) {
    mo->Vertices()->Add(0, 3, 0);
    mo->Normals()->Add(0, 0, 1);
  }
  mo->AddWeightedBone(1, 1);
  mo->AddWeightedBones({{1, 0.5f}, {1, 0.5f}});  // two columns on the same bone
  mo->AddWeightedBones({{1, 0.5f}, {0, 0}});     // second weight 0 adds nothing
  EXPECT_EQ(mo->BonesPerVertex(), 2);
  EXPECT_EQ(mo->VerticesBonesWeights(0, 1).Weight, 0);
  mo->PrepareBoneMatchingMeshObjects();
  ASSERT_EQ(mo->BoneMatchingCount(), 2);
  ExpectVec((*mo->BoneMatchingMeshObject(0)->Vertices())[0], V(0, 1, 0));

  skeleton.SetCurrentFrame((*skeleton.Frames())[1]);
  skeleton.MorphMesh(true);
  ExpectVec((*mo->Vertices())[0], V(1, 3, 0));
  ExpectVec((*mo->Vertices())[1], V(1, 3, 0));        // (0.5, 0.5) on one bone = the single-bone result
  ExpectVec((*mo->Vertices())[2], V(0.5f, 1.5f, 0));  // first entry scaled by its weight
  ExpectVec((*mo->Normals())[2], V(0, 0, 1));         // normalised
  // A structure change does not re-derive the rest pose from deformed vertices.
  list.Prepare();
  skeleton.MorphMesh(true);
  ExpectVec((*mo->Vertices())[2], V(0.5f, 1.5f, 0));

  // Bone-space copies are bounded by the weight block, not by the columns announced.
  auto* empty = new TSkeletonMeshObject(&list);
  empty->Vertices()->Add(1, 1, 1);
  empty->SetBonesPerVertex(1000000);
  empty->PrepareBoneMatchingMeshObjects();
  EXPECT_EQ(empty->BoneMatchingCount(), 0);
  empty->ApplyCurrentSkeletonFrame(true);
  ExpectVec((*empty->Vertices())[0], V(1, 1, 1));
  empty->SetBonesPerVertex(0);
  empty->SetVerticeBoneWeightCount(1);  // weights without columns: nothing to skin
  list.Prepare();
  empty->ApplyCurrentSkeletonFrame(true);
  ExpectVec((*empty->Vertices())[0], V(1, 1, 1));

  // A weight naming a bone the skeleton lacks is refused, and no vertex moves.
  skeleton.SetCurrentFrame((*skeleton.Frames())[0]);
  skeleton.RootBones()->PrepareGlobalMatrices();
  mo->VerticesBonesWeights(2, 0).BoneID = 9;
  EXPECT_THROW(mo->ApplyCurrentSkeletonFrame(false), EAssertionFailed);
  ExpectVec((*mo->Vertices())[0], V(1, 3, 0));
}

TEST_F(SkeletonTest, SkinnedObjectsReadBeforeTheirBonesFollowThemOnceTheyExist) {
  // Rest pose: bone 1 at (0, 2, 0); frame 1 moves the root by (1, 0, 0).
  AddFrame(skeleton, {V(0, 0, 0), V(0, 2, 0)}, {V(0, 0, 0), V(0, 0, 0)});
  AddFrame(skeleton, {V(1, 0, 0), V(0, 2, 0)}, {V(0, 0, 0), V(0, 0, 0)});
  auto* mo = new TSkeletonMeshObject(&list);
  mo->Vertices()->Add(0, 3, 0);
  mo->AddWeightedBone(1, 1);
  TStringStream file(list.SaveToString());

  // A mesh file holds no skeleton: the actor's is empty while the mesh is read.
  TGLActor actor(nullptr);
  actor.LoadFromStream("body.glsm", &file);
  auto* skinned = static_cast<TSkeletonMeshObject*>((*actor.MeshObjects())[0]);
  EXPECT_FALSE(skinned->WaitsForBones());
  actor.Skeleton()->LoadFromString(skeleton.SaveToString());
  EXPECT_TRUE(skinned->WaitsForBones());
  actor.SetReference(aarSkeleton);
  actor.AllFrames();
  actor.SetCurrentFrame(1);
  actor.SetFrameInterpolation(afpNone);
  TGLRecorder rec;
  TRenderContextInfo rci;
  actor.BuildList(rci);
  ExpectVec((*skinned->Vertices())[0], V(1, 3, 0));
  EXPECT_FALSE(skinned->WaitsForBones());
  actor.SetCurrentFrame(0);
  actor.BuildList(rci);
  ExpectVec((*skinned->Vertices())[0], V(0, 3, 0));
}

TEST_F(SkeletonTest, ArchivesKeepBonesFramesAndColliders) {
  child->SetColor(0x11223344u);
  AddFrame(skeleton, {V(1, 2, 3)}, {V(0.5f, 0, 0)})->SetName("walk");
  const std::string noColliders = skeleton.SaveToString();
  {
    TStringStream s(noColliders);
    TBinaryReader r(&s);
    EXPECT_EQ(r.ReadInteger(), 0);  // version 0 without colliders
  }
  auto* collider = new TSkeletonCollider(skeleton.Colliders());
  collider->SetBone(child);
  collider->SetAutoUpdate(false);

  TSkeleton copy;
  copy.LoadFromString(skeleton.SaveToString());
  ASSERT_EQ(copy.RootBones()->Count(), 1);
  TSkeletonBone* arm = copy.BoneByName("Arm");
  ASSERT_NE(arm, nullptr);
  EXPECT_EQ(arm->Owner(), (*copy.RootBones())[0]);
  EXPECT_EQ(arm->Skeleton(), &copy);
  EXPECT_EQ(arm->Color(), 0x11223344u);
  ASSERT_EQ(copy.Frames()->Count(), 1);
  EXPECT_EQ((*copy.Frames())[0]->Name(), "walk");
  ASSERT_EQ(copy.Colliders()->Count(), 1);
  EXPECT_EQ((*copy.Colliders())[0]->Bone(), arm);
  EXPECT_EQ(copy.SaveToString(), skeleton.SaveToString());

  // Reading a skinned mesh object rejects a weight block longer than the stream.
  auto* mo = new TSkeletonMeshObject(&list);
  mo->AddWeightedBone(0, 1);
  std::string data = list.SaveToString();
  TMeshObjectList back;
  back.LoadFromString(data);
  ASSERT_EQ(back.Count(), 1);
  EXPECT_EQ(static_cast<TSkeletonMeshObject*>(back[0])->VerticeBoneWeightCount(), 1);
  data.resize(data.size() - 3);
  EXPECT_ANY_THROW(back.LoadFromString(data));
}

TEST_F(SkeletonTest, FramesOfDifferentSizesAreRefusedWhenRead) {
  AddFrame(skeleton, {V(0, 0, 0), V(1, 0, 0)}, {V(0, 0, 0), V(0, 0, 0)});
  TSkeletonFrame* second = AddFrame(skeleton, {V(0, 1, 0), V(1, 1, 0)}, {V(0, 0, 0), V(0, 0, 1)});
  TSkeleton copy;
  copy.LoadFromString(skeleton.SaveToString());
  EXPECT_EQ(copy.Frames()->Count(), 2);
  struct TCase {
    std::function<void()> breakIt;
    const char* error;
  };
  const std::vector<TCase> cases = {
      {[&] { second->Position()->SetCount(1); }, "TSkeleton : frame 1 has 1 positions, frame 0 has 2"},
      {[&] { second->Rotation()->Add(V(0, 0, 0)); }, "TSkeleton : frame 1 has 3 rotations, frame 0 has 2"},
      {[&] { second->Quaternion()->Add(TQuaternion{}); }, "TSkeleton : frame 1 has 1 quaternions, frame 0 has 0"},
  };
  for (const TCase& c : cases) {
    c.breakIt();
    try {
      copy.LoadFromString(skeleton.SaveToString());
      ADD_FAILURE() << c.error;
    } catch (const EReadError& e) {
      EXPECT_EQ(e.Message(), c.error);
    }
    EXPECT_EQ(copy.Frames()->Count(), 0);
    second->Position()->Assign((*skeleton.Frames())[0]->Position());
    second->Rotation()->Assign((*skeleton.Frames())[0]->Rotation());
    second->Quaternion()->Clear();
  }
  // Lerping the frames read would otherwise fail at every animated draw.
  copy.LoadFromString(skeleton.SaveToString());
  EXPECT_NO_THROW(copy.Lerp(0, 1, 0.5f));
}

}  // namespace
