// Tests of actors: frame ranges and animation modes, progress, morph-frame blending, animations
// and controllers, and the stored form.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Source/Further/GLVectorFileObjects.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"
#include "tests/Source/Base/GLRecorder.h"

namespace {

class ActorTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterGLVectorFileObjects(); }

  // A morphable object with Frames targets; target k puts its one vertex at (k, 0, 0).
  static void AddMorphFrames(TGLActor& actor, int Frames) {
    auto* mo = new TMorphableMeshObject(actor.MeshObjects());
    mo->Vertices()->Add(0, 0, 0);
    for (int k = 0; k < Frames; ++k) (new TMeshMorphTarget(mo->MorphTargets()))->Vertices()->Add(float(k), 0, 0);
  }

  static void Tick(TGLActor& actor, double seconds) { actor.DoProgress(TProgressTimes{seconds, 0}); }
};

TEST_F(ActorTest, FrameRangeSettersClamp) {
  TGLActor actor(nullptr);
  AddMorphFrames(actor, 5);
  EXPECT_EQ(actor.FrameCount(), 5);
  actor.SetEndFrame(4);
  actor.SetStartFrame(7);  // refused
  EXPECT_EQ(actor.StartFrame(), 0);
  actor.SetStartFrame(2);
  EXPECT_EQ(actor.CurrentFrame(), 2);  // pulled up to the start
  actor.SetEndFrame(1);                // below the start is accepted: current moves down
  EXPECT_EQ(actor.CurrentFrame(), 1);
  // Setting the same start again still pulls the end and the current frame up to it.
  actor.SetStartFrame(2);
  EXPECT_EQ(actor.EndFrame(), 2);
  EXPECT_EQ(actor.CurrentFrame(), 2);
  // Setting the same end again still brings a current frame beyond it down.
  actor.SetCurrentFrame(4);
  actor.SetEndFrame(2);
  EXPECT_EQ(actor.CurrentFrame(), 2);
  actor.SetCurrentFrame(99);
  EXPECT_EQ(actor.CurrentFrame(), 4);
  actor.AllFrames();
  EXPECT_EQ(actor.StartFrame(), 0);
  EXPECT_EQ(actor.EndFrame(), 4);
}

TEST_F(ActorTest, FrameNumbersStayWithinTheFramesOfTheReference) {
  TGLActor actor(nullptr);
  AddMorphFrames(actor, 5);
  actor.AllFrames();
  actor.SetCurrentFrame(4);
  actor.SetAnimationMode(aamLoop);
  TGLRecorder rec;
  TRenderContextInfo rci;
  // No reference: no frames. The numbers are kept (there is nothing to clamp them to) and
  // count as frame 0 where used; ticks and drawing go on.
  actor.SetReference(aarNone);
  EXPECT_EQ(actor.FrameCount(), 0);
  EXPECT_EQ(actor.CurrentFrame(), 4);
  EXPECT_EQ(actor.EndFrame(), 4);
  EXPECT_EQ(actor.NextFrameIndex(), 0);
  EXPECT_NO_THROW(Tick(actor, 1));
  EXPECT_NO_THROW(actor.BuildList(rci));

  // Two skeleton frames: the frame numbers of the five targets are brought within them.
  actor.Skeleton()->Frames()->Add(new TSkeletonFrame);
  actor.Skeleton()->Frames()->Add(new TSkeletonFrame);
  actor.SetReference(aarMorph);
  actor.AllFrames();
  actor.SetCurrentFrame(4);
  actor.SetReference(aarSkeleton);
  EXPECT_EQ(actor.CurrentFrame(), 1);
  EXPECT_EQ(actor.EndFrame(), 1);
  // Frames that went away after they were chosen: the last one left is drawn.
  actor.Skeleton()->Frames()->Clear();
  actor.Skeleton()->Frames()->Add(new TSkeletonFrame);
  EXPECT_NO_THROW(actor.BuildList(rci));
  actor.SetReference(aarMorph);
  actor.AllFrames();
  actor.SetCurrentFrame(4);
  auto* mo = static_cast<TMorphableMeshObject*>((*actor.MeshObjects())[0]);
  mo->MorphTargets()->Clear();
  for (int k = 0; k < 2; ++k) (new TMeshMorphTarget(mo->MorphTargets()))->Vertices()->Add(float(k), 0, 0);
  ASSERT_NO_THROW(actor.BuildList(rci));
  EXPECT_FLOAT_EQ((*mo->Vertices())[0][0], 1.0f);
}

TEST_F(ActorTest, ModesStepThroughTheRange) {
  TGLActor actor(nullptr);
  AddMorphFrames(actor, 4);
  actor.AllFrames();
  int ends = 0;
  actor.OnEndFrameReached = [&](TObject*) { ++ends; };

  actor.SetAnimationMode(aamLoop);
  actor.SetCurrentFrame(3);
  EXPECT_EQ(actor.NextFrameIndex(), 0);

  actor.SetAnimationMode(aamLoopBackward);
  actor.SetCurrentFrame(0);
  EXPECT_EQ(actor.NextFrameIndex(), 3);

  actor.SetAnimationMode(aamPlayOnce);
  actor.SetCurrentFrame(1);
  actor.NextFrame(5);
  EXPECT_EQ(actor.CurrentFrame(), 3);
  EXPECT_EQ(actor.AnimationMode(), aamNone);
  EXPECT_GE(ends, 1);

  actor.SetAnimationMode(aamBounceForward);
  actor.SetCurrentFrame(2);
  actor.NextFrame();
  EXPECT_EQ(actor.AnimationMode(), aamBounceBackward);
  actor.NextFrame(3);
  EXPECT_EQ(actor.CurrentFrame(), 0);
  EXPECT_EQ(actor.AnimationMode(), aamBounceForward);

  actor.SetAnimationMode(aamExternal);
  EXPECT_EQ(actor.NextFrameIndex(), 0);
}

TEST_F(ActorTest, ProgressAdvancesWholeFramesAndKeepsTheFraction) {
  TGLActor actor(nullptr);
  AddMorphFrames(actor, 6);
  actor.AllFrames();
  actor.SetAnimationMode(aamLoop);
  actor.SetInterval(100);
  Tick(actor, 0.25);  // 2.5 frames
  EXPECT_EQ(actor.CurrentFrame(), 2);
  EXPECT_FLOAT_EQ(actor.CurrentFrameDelta(), 0.5f);

  actor.SetInterval(0);
  Tick(actor, 1);
  EXPECT_EQ(actor.CurrentFrame(), 2);

  TGLActor single(nullptr);
  AddMorphFrames(single, 1);
  single.SetAnimationMode(aamLoop);
  Tick(single, 1);
  EXPECT_EQ(single.CurrentFrame(), 0);
  EXPECT_EQ(single.CurrentFrameDelta(), 0);
}

TEST_F(ActorTest, MorphFramesAreBlendedWhenBuilt) {
  TGLActor actor(nullptr);
  AddMorphFrames(actor, 3);
  actor.AllFrames();
  actor.SetAnimationMode(aamLoop);
  actor.SetCurrentFrame(1);
  actor.SetCurrentFrameDelta(0.25f);
  TGLRecorder rec;
  TRenderContextInfo rci;
  actor.BuildList(rci);
  EXPECT_FLOAT_EQ((*(*actor.MeshObjects())[0]->Vertices())[0][0], 1.25f);
  actor.SetFrameInterpolation(afpNone);
  actor.BuildList(rci);
  EXPECT_FLOAT_EQ((*(*actor.MeshObjects())[0]->Vertices())[0][0], 1.0f);

  // An actor whose morphable objects have no targets draws them as they are, blended or not.
  TGLActor still(nullptr);
  auto* mo = new TMorphableMeshObject(still.MeshObjects());
  mo->Vertices()->Add(3, 0, 0);
  for (TActorFrameInterpolation mode : {afpLinear, afpNone}) {
    still.SetFrameInterpolation(mode);
    EXPECT_NO_THROW(still.BuildList(rci));
    EXPECT_FLOAT_EQ((*mo->Vertices())[0][0], 3.0f);
  }
}

TEST_F(ActorTest, AStoredMeshWithAMorphTargetOfAnotherSizeIsRefusedAtLoad) {
  TGLActor source(nullptr);
  AddMorphFrames(source, 5);
  (*static_cast<TMorphableMeshObject*>((*source.MeshObjects())[0])->MorphTargets())[3]->Vertices()->Add(1, 1, 1);
  TStringStream stored;
  source.SaveToStream("walk.glsm", &stored);
  stored.SetPosition(0);
  TGLActor actor(nullptr);
  try {
    actor.LoadFromStream("walk.glsm", &stored);
    FAIL() << "loaded";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "TMorphableMeshObject \"\" : morph target 3 has 2 vertices, target 0 has 1");
  }
  // Nothing of it is kept, so no frame can fail to blend.
  EXPECT_EQ(actor.MeshObjects()->Count(), 0);
  actor.SetAnimationMode(aamLoop);
  TGLRecorder rec;
  TRenderContextInfo rci;
  for (int frame = 0; frame < 5; ++frame) {
    actor.SetCurrentFrame(frame);
    actor.SetCurrentFrameDelta(0.5f);
    EXPECT_NO_THROW(actor.BuildList(rci)) << frame;
  }
}

TEST_F(ActorTest, AnimationsAndControllers) {
  TGLActor actor(nullptr);
  AddMorphFrames(actor, 10);
  TActorAnimation* walk = actor.Animations()->Add();
  walk->SetName("Walk");
  walk->SetStartFrame(2);
  walk->SetEndFrame(20);  // clamped to the frames there are
  EXPECT_EQ(walk->EndFrame(), 9);
  EXPECT_EQ(walk->DisplayName(), "0 - Walk [2 - 9]");
  EXPECT_EQ(actor.Animations()->FindName("WALK"), walk);
  EXPECT_EQ(actor.Animations()->FindName("run"), nullptr);

  actor.SwitchToAnimation("walk");
  EXPECT_EQ(actor.StartFrame(), 2);
  EXPECT_EQ(actor.EndFrame(), 9);
  EXPECT_EQ(actor.CurrentFrame(), 2);

  // A smooth switch waits for the next whole frame.
  actor.SetAnimationMode(aamLoop);
  actor.SetCurrentFrame(5);
  actor.SwitchToAnimation(0, true);
  EXPECT_EQ(actor.TargetSmoothAnimation(), walk);
  EXPECT_EQ(actor.NextFrameIndex(), 2);
  Tick(actor, 0.1);
  EXPECT_EQ(actor.TargetSmoothAnimation(), nullptr);

  {
    TGLAnimationControler controler(nullptr);
    controler.SetActor(&actor);
    EXPECT_EQ(actor.ControlerCount(), 1);
    controler.SetAnimationName("walk");
    controler.SetRatio(1.5f);
    EXPECT_EQ(controler.Ratio(), 1.0f);
    TBlendedLerpInfo info;
    ASSERT_TRUE(controler.Apply(info));
    EXPECT_EQ(info.frameIndex1, 9);
    EXPECT_EQ(info.frameIndex2, 9);
    controler.SetRatio(0.5f);  // 2 + 0.5 * 7 = 5.5
    ASSERT_TRUE(controler.Apply(info));
    EXPECT_EQ(info.frameIndex1, 5);
    EXPECT_EQ(info.frameIndex2, 6);
    EXPECT_FLOAT_EQ(info.lerpFactor, 0.5f);
    controler.SetEnabled(false);
    EXPECT_FALSE(controler.Apply(info));
  }
  EXPECT_EQ(actor.ControlerCount(), 0);  // a freed controller leaves the actor
  EXPECT_THROW(actor.UnRegisterControler(nullptr), EAssertionFailed);

  // A mesh file that brings no animations leaves the actor's own.
  TStringStream s(actor.MeshObjects()->SaveToString());
  actor.LoadFromStream("a.glsm", &s);
  ASSERT_EQ(actor.Animations()->Count(), 1);
  EXPECT_EQ(actor.Animations()->Items(0), walk);
  EXPECT_EQ(walk->StartFrame(), 2);
  EXPECT_EQ(walk->EndFrame(), 9);
  EXPECT_EQ(actor.FrameCount(), 10);
}

// A format that brings one mesh object of Frames targets and, when the stream says so, an
// animation of its own.
class TAnimatedMeshFile : public TVectorFile {
  RTL_CLASS(TAnimatedMeshFile, TVectorFile)
 public:
  explicit TAnimatedMeshFile(TPersistent* AOwner) : TVectorFile(AOwner) {}
  TDataFileCapabilities Capabilities() const override { return {dfcRead}; }
  void LoadFromStream(TStream* Stream) override {
    auto* mo = new TMorphableMeshObject(MeshObjects());
    mo->Vertices()->Add(0, 0, 0);
    for (int k = 0; k < 6; ++k) (new TMeshMorphTarget(mo->MorphTargets()))->Vertices()->Add(float(k), 0, 0);
    TActorAnimation* jump = static_cast<TGLActor*>(Owner())->Animations()->Add();
    jump->SetName("jump");
    jump->SetStartFrame(1);
    jump->SetEndFrame(4);
    if (Stream->Size() == 0) throw EReadError("cut short");
  }
};

void StoreAndRead(TComponent* From, TComponent* To) {
  TMemoryStream ms;
  {
    TWriter w(&ms);
    w.WriteRootComponent(From);
  }
  ms.SetPosition(0);
  TReader r(&ms);
  r.ReadRootComponent(To);
}

TEST_F(ActorTest, AnimationsAndFramesSurviveTheStoredFormAndTheMeshLoad) {
  // A 10-frame morph actor playing 2 .. 8 with an animation "walk" 3 .. 7.
  TGLActor actor(nullptr);
  AddMorphFrames(actor, 10);
  TActorAnimation* walk = actor.Animations()->Add();
  walk->SetName("walk");
  walk->SetStartFrame(3);
  walk->SetEndFrame(7);
  actor.SetEndFrame(8);
  actor.SetStartFrame(2);
  TStringStream meshFile("");
  actor.SaveToStream("walk.glsm", &meshFile);

  // Read back: the mesh is not part of the stored form, the frame numbers are.
  TGLActor copy(nullptr);
  StoreAndRead(&actor, &copy);
  EXPECT_EQ(copy.FrameCount(), 0);
  EXPECT_EQ(copy.StartFrame(), 2);
  EXPECT_EQ(copy.EndFrame(), 8);
  EXPECT_EQ(copy.CurrentFrame(), 2);
  ASSERT_EQ(copy.Animations()->Count(), 1);
  EXPECT_EQ(copy.Animations()->Items(0)->StartFrame(), 3);
  EXPECT_EQ(copy.Animations()->Items(0)->EndFrame(), 7);

  // Then its mesh: the animations stay, and play.
  meshFile.SetPosition(0);
  copy.LoadFromStream("walk.glsm", &meshFile);
  EXPECT_EQ(copy.FrameCount(), 10);
  ASSERT_EQ(copy.Animations()->Count(), 1);
  EXPECT_EQ(copy.Animations()->Items(0)->Name(), "walk");
  EXPECT_EQ(copy.Animations()->Items(0)->StartFrame(), 3);
  EXPECT_EQ(copy.Animations()->Items(0)->EndFrame(), 7);
  EXPECT_EQ(copy.StartFrame(), 2);
  EXPECT_EQ(copy.EndFrame(), 8);
  copy.SwitchToAnimation("walk");
  copy.SetAnimationMode(aamLoop);
  Tick(copy, 0.5);
  EXPECT_EQ(copy.CurrentFrame(), 3);  // 3 + 5 frames, looped over 3 .. 7

  // Read over an actor whose mesh has fewer frames: kept while reading, and answered within
  // the frames it has; its setters take what its getters show.
  TGLActor small(nullptr);
  AddMorphFrames(small, 5);
  StoreAndRead(&actor, &small);
  EXPECT_EQ(small.FrameCount(), 5);
  EXPECT_EQ(small.StartFrame(), 2);
  EXPECT_EQ(small.EndFrame(), 4);
  EXPECT_EQ(small.CurrentFrame(), 2);
  EXPECT_EQ(small.Animations()->Items(0)->StartFrame(), 3);
  EXPECT_EQ(small.Animations()->Items(0)->EndFrame(), 4);
  EXPECT_EQ(small.Animations()->Items(0)->DisplayName(), "0 - walk [3 - 4]");
  small.SetEndFrame(9);  // beyond the frames: refused
  EXPECT_EQ(small.EndFrame(), 4);
  small.SetEndFrame(small.EndFrame());
  small.SetStartFrame(small.StartFrame());
  EXPECT_EQ(small.StartFrame(), 2);
  EXPECT_EQ(small.EndFrame(), 4);
  {
    // The kept numbers survive the stored form: a mesh with the frames restores them.
    TGLActor small2(nullptr);
    AddMorphFrames(small2, 5);
    StoreAndRead(&actor, &small2);
    TGLActor big(nullptr);
    AddMorphFrames(big, 10);
    StoreAndRead(&small2, &big);
    EXPECT_EQ(big.StartFrame(), 2);
    EXPECT_EQ(big.EndFrame(), 8);
    EXPECT_EQ(big.Animations()->Items(0)->StartFrame(), 3);
    EXPECT_EQ(big.Animations()->Items(0)->EndFrame(), 7);
    // So does another mesh given to the same actor.
    meshFile.SetPosition(0);
    small2.LoadFromStream("walk.glsm", &meshFile);
    EXPECT_EQ(small2.FrameCount(), 10);
    EXPECT_EQ(small2.EndFrame(), 8);
    EXPECT_EQ(small2.Animations()->Items(0)->EndFrame(), 7);
  }
  small.SwitchToAnimation("walk");
  EXPECT_EQ(small.StartFrame(), 3);
  EXPECT_EQ(small.EndFrame(), 4);
  small.SetAnimationMode(aamLoop);
  small.SetCurrentFrame(4);
  EXPECT_EQ(small.NextFrameIndex(), 3);

  // Animations defined in code before any mesh are kept as given through the load.
  TGLActor early(nullptr);
  TActorAnimation* run = early.Animations()->Add();
  run->SetName("run");
  run->SetStartFrame(3);
  run->SetEndFrame(7);
  EXPECT_EQ(run->StartFrame(), 3);
  EXPECT_EQ(run->EndFrame(), 7);
  meshFile.SetPosition(0);
  early.LoadFromStream("walk.glsm", &meshFile);
  ASSERT_EQ(early.Animations()->Count(), 1);
  EXPECT_EQ(early.Animations()->Items(0), run);
  EXPECT_EQ(run->EndFrame(), 7);
}

TEST_F(ActorTest, AMeshFileWithAnimationsReplacesTheActorsOwn) {
  if (!GetVectorFileFormats()->FindExt("animated"))
    RegisterVectorFileFormat("animated", "Animated mesh", TAnimatedMeshFile::StaticClass());
  TGLActor actor(nullptr);
  TActorAnimation* walk = actor.Animations()->Add();
  walk->SetName("walk");
  actor.SwitchToAnimation(0, true);
  // Refused half-way: the animation it brought goes, the actor's own stays.
  TStringStream empty("");
  EXPECT_THROW(actor.LoadFromStream("a.animated", &empty), EReadError);
  ASSERT_EQ(actor.Animations()->Count(), 1);
  EXPECT_EQ(actor.Animations()->Items(0), walk);
  EXPECT_EQ(actor.TargetSmoothAnimation(), walk);
  EXPECT_EQ(actor.FrameCount(), 0);
  // Read whole: the file's animations replace the actor's.
  TStringStream some("x");
  actor.LoadFromStream("a.animated", &some);
  ASSERT_EQ(actor.Animations()->Count(), 1);
  EXPECT_EQ(actor.Animations()->Items(0)->Name(), "jump");
  EXPECT_EQ(actor.Animations()->Items(0)->StartFrame(), 1);
  EXPECT_EQ(actor.Animations()->Items(0)->EndFrame(), 4);
  EXPECT_EQ(actor.TargetSmoothAnimation(), nullptr);
  EXPECT_EQ(actor.FrameCount(), 6);
}

TEST_F(ActorTest, PublishedPropertiesRoundTripThroughTheStoredForm) {
  auto stored = [](TComponent* from, TComponent* to) {
    TMemoryStream ms;
    {
      TWriter w(&ms);
      w.WriteRootComponent(from);
    }
    ms.SetPosition(0);
    TReader r(&ms);
    r.ReadRootComponent(to);
    return ms.Size();
  };
  TGLActor plain(nullptr), plainCopy(nullptr);
  const auto defaultSize = stored(&plain, &plainCopy);
  EXPECT_EQ(plainCopy.Options(), 1);  // the default set is not stored and stays

  TGLActor actor(nullptr);
  actor.SetInterval(40);
  actor.SetAnimationMode(aamBounceForward);
  actor.SetReference(aarSkeleton);
  actor.SetFrameInterpolation(afpNone);
  actor.SetOptions(0);
  actor.SetAutoCentering((1 << macCenterX) | (1 << macUseBarycenter));
  actor.AutoScaling()->SetY(3);  // published by free forms only
  actor.SetNormalsOrientation(mnoInvert);
  actor.SetUseMeshMaterials(false);
  actor.SetOverlaySkeleton(true);
  TActorAnimation* run = actor.Animations()->Add();
  run->SetName("run");
  run->SetStartFrame(3);  // no skeleton frames yet: kept as given
  run->SetEndFrame(7);
  actor.SetEndFrame(8);
  actor.SetStartFrame(2);
  TGLActor copy(nullptr);
  EXPECT_GT(stored(&actor, &copy), defaultSize);
  EXPECT_EQ(copy.Interval(), 40);
  EXPECT_EQ(copy.AnimationMode(), aamBounceForward);
  EXPECT_EQ(copy.Reference(), aarSkeleton);
  EXPECT_EQ(copy.FrameInterpolation(), afpNone);
  EXPECT_EQ(copy.Options(), 0);
  EXPECT_EQ(copy.AutoCentering(), (1 << macCenterX) | (1 << macUseBarycenter));
  EXPECT_EQ(copy.AutoScaling()->Y(), 1);
  EXPECT_EQ(copy.NormalsOrientation(), mnoInvert);
  EXPECT_FALSE(copy.UseMeshMaterials());
  EXPECT_TRUE(copy.OverlaySkeleton());
  EXPECT_EQ(copy.StartFrame(), 2);
  EXPECT_EQ(copy.EndFrame(), 8);
  EXPECT_EQ(copy.CurrentFrame(), 2);
  ASSERT_EQ(copy.Animations()->Count(), 1);
  EXPECT_EQ(copy.Animations()->Items(0)->Name(), "run");
  EXPECT_EQ(copy.Animations()->Items(0)->StartFrame(), 3);
  EXPECT_EQ(copy.Animations()->Items(0)->EndFrame(), 7);

  TGLFreeForm form(nullptr), formCopy(nullptr);
  form.AutoScaling()->SetY(3);
  stored(&form, &formCopy);
  EXPECT_EQ(formCopy.AutoScaling()->Y(), 3);
}

}  // namespace
