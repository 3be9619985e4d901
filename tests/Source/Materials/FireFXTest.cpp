// Fire: emission, ageing and motion with an injected random source; drawing through the GL
// call recorder; the effect's stream and its manager link.
#include "Source/Materials/GLFireFX.h"

#include "Source/Base/GLRecorder.h"
#include "Source/StoredCopy.h"
#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLCoordinates.h"
#include "Source/Scene/GLSceneGraph.h"
#include "rtl/Streaming.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

TFireParticle Particle(float y, float life, float initialLife) {
  TFireParticle p{};
  p.Position = {{0, y, 0, 1}};
  p.Speed = {{0, 1, 0, 0}};
  p.Density = 1;
  p.Life = life;
  p.InitialLife = initialLife;
  return p;
}

void Tick(TGLFireFXManager& m, double dt) { m.DoProgress({dt, 0}); }

struct TFire : ::testing::Test {
  TGLFireFXManager m{nullptr};
  void SetUp() override {
    m.Random = [] { return 0.5f; };
  }
};

TEST_F(TFire, EmissionFollowsTheIntervalAccumulator) {
  m.SetParticleInterval(0.25f);
  Tick(m, 0.875);  // 3.5 intervals: one particle, the fraction kept
  EXPECT_EQ(m.ParticleCount(), 1);
  EXPECT_FLOAT_EQ(m.IntervalAccumulator(), 0.5f);

  m.FireInit();
  m.SetParticles({}, 0.75f);
  Tick(m, 0.0625);  // reaches exactly 1.0: not above it
  EXPECT_EQ(m.ParticleCount(), 0);
  EXPECT_FLOAT_EQ(m.IntervalAccumulator(), 1.0f);

  m.SetUseInterval(false);
  m.SetMaxParticles(20);
  Tick(m, 0.01);
  EXPECT_EQ(m.ParticleCount(), 20);

  // No particle is born without a life (its alpha would be undefined).
  TGLFireFXManager lifeless(nullptr);
  lifeless.SetParticleLife(0);
  lifeless.SetUseInterval(false);
  Tick(lifeless, 0.1);
  EXPECT_EQ(lifeless.ParticleCount(), 0);
}

TEST_F(TFire, NewParticlesAroundTheReference) {
  std::vector<float> seq{0.75f, 0.5f, 0.5f, 0.25f, 0.5f};
  size_t i = 0;
  m.Random = [&] { return seq[i++ % seq.size()]; };
  TGLBaseSceneObject reference(nullptr);
  reference.Position()->SetXYZAsPoint(1, 2, 3);
  m.SetReference(&reference);
  m.SetFireRadius(2);
  m.SetFireDensity(0.7f);
  m.SetParticleInterval(0.1f);
  Tick(m, 0.15);
  ASSERT_EQ(m.ParticleCount(), 1);
  const TFireParticle& p = m.Particles()[0];
  // Offset (1, 0, 0) turned a quarter about Y gives (0, 0, -1).
  EXPECT_NEAR(p.Position[0], 1.0f, 1e-6);
  EXPECT_NEAR(p.Position[1], 2.0f, 1e-6);
  EXPECT_NEAR(p.Position[2], 2.0f, 1e-6);
  EXPECT_EQ(p.Position[3], 1.0f);
  EXPECT_EQ(p.Speed[1], 1.0f);
  EXPECT_FLOAT_EQ(p.Life, 2.25f);
  EXPECT_EQ(p.InitialLife, p.Life);
  EXPECT_FLOAT_EQ(p.Density, 0.7f);
}

TEST_F(TFire, AgeingAndMotion) {
  m.SetDisabled(true);
  m.SetParticles({Particle(0, 2, 2)}, 0);
  Tick(m, 0.1);
  EXPECT_FLOAT_EQ(m.Particles()[0].Speed[1], 1.05f);
  EXPECT_FLOAT_EQ(m.Particles()[0].Position[1], 0.105f);
  EXPECT_FLOAT_EQ(m.Particles()[0].Life, 1.9f);

  // A burst of 1 runs twice as fast.
  m.SetParticles({Particle(0, 2, 2)}, 0);
  m.SetFireBurst(-1);
  Tick(m, 0.05);
  EXPECT_FLOAT_EQ(m.Particles()[0].Position[1], 0.105f);
  m.SetFireBurst(0);

  // Paused, or an interval that is not positive: nothing moves or ages.
  m.SetPaused(true);
  Tick(m, 1);
  EXPECT_FLOAT_EQ(m.Particles()[0].Life, 1.9f);
  m.SetPaused(false);
  m.SetParticleInterval(0);
  Tick(m, 1);
  EXPECT_FLOAT_EQ(m.Particles()[0].Life, 1.9f);
  m.SetParticleInterval(0.1f);

  // Disabled: the fire burns out; the last particle fills a dead one's slot.
  m.SetParticles({Particle(0, 0.05f, 1), Particle(7, 1, 1), Particle(9, 0.5f, 1)}, 0);
  Tick(m, 0.1);
  ASSERT_EQ(m.ParticleCount(), 2);
  EXPECT_FLOAT_EQ(m.Particles()[0].Life, 0.4f);  // the one that was last
  EXPECT_FLOAT_EQ(m.Particles()[1].Life, 0.9f);
  Tick(m, 1);
  EXPECT_EQ(m.ParticleCount(), 0);
}

TEST_F(TFire, CapacityAndColoursReshapeThePool) {
  m.SetParticles(std::vector<TFireParticle>(50, Particle(0, 1, 1)), 0.3f);
  m.SetMaxParticles(10);
  EXPECT_EQ(m.ParticleCount(), 10);
  m.SetMaxParticles(-4);
  EXPECT_EQ(m.MaxParticles(), 0);
  EXPECT_EQ(m.ParticleCount(), 0);

  m.SetMaxParticles(10);
  m.SetParticles(std::vector<TFireParticle>(5, Particle(0, 1, 1)), 0.3f);
  TGLColor red(nullptr, TVector4f{{1, 0, 0, 1}});
  m.SetInnerColor(&red);
  EXPECT_EQ(m.ParticleCount(), 0);  // a colour change restarts the fire
  EXPECT_EQ(m.IntervalAccumulator(), 0.0f);
  EXPECT_EQ(m.InnerColor()->Red(), 1.0f);
}

// A stored manager is bounded to kMaxStoredFireParticles (the stored vertex limit in glows);
// code may ask for more. The refusal comes before the pool is allocated: a stored 2^31 - 1
// (a 94 GB pool) leaves the manager read into as it was, whatever the kernel would grant.
TEST_F(TFire, ParticleCapacityBoundedWhenReadBeforeAllocating) {
  RegisterGLFireFXClasses();
  m.SetName("Fire");
  m.SetMaxParticles(kMaxStoredFireParticles);
  EXPECT_NO_THROW(ReadStoredCopy(&m));
  m.SetMaxParticles(kMaxStoredFireParticles + 1);  // allowed in code
  EXPECT_EQ(m.MaxParticles(), kMaxStoredFireParticles + 1);
  try {
    ReadStoredCopy(&m);
    ADD_FAILURE() << "read";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), Format("TGLFireFXManager 'Fire': %d vertices, at most %d per stored object",
                                  (kMaxStoredFireParticles + 1) * kFireParticleVertices, kMaxStoredVertices));
  }

  // The same manager with 2^31 - 1 particles, as a damaged file holds it (not made in code: that
  // would allocate the pool): the stored count's four bytes changed.
  TMemoryStream stored;
  TWriter(&stored).WriteRootComponent(&m);
  std::string bytes(size_t(stored.Size()), '\0');
  stored.SetPosition(0);
  stored.Read(bytes.data(), stored.Size());
  const uint32_t count = uint32_t(kMaxStoredFireParticles + 1);
  const std::string le = {char(count), char(count >> 8), char(count >> 16), char(count >> 24)};
  const size_t at = bytes.find(le, bytes.find("MaxParticles"));
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, 4, "\xff\xff\xff\x7f");
  TMemoryStream damaged;
  damaged.Write(bytes.data(), int64_t(bytes.size()));
  damaged.SetPosition(0);
  TGLFireFXManager into(nullptr);
  into.SetMaxParticles(10);
  into.SetParticles(std::vector<TFireParticle>(5, Particle(0, 1, 1)), 0.3f);
  EXPECT_THROW(TReader(&damaged).ReadRootComponent(&into), EReadError);
  EXPECT_EQ(into.MaxParticles(), 10);
  EXPECT_EQ(into.ParticleCount(), 5);
}

namespace {

// In a death-test child: caps the address space 256 MB above what the process maps, asks for an
// 880 MB pool, and exits 0 when that raised EOutOfMemory with the pool unchanged.
[[maybe_unused]] void GrowPoolUnderCappedAddressSpace(TGLFireFXManager& m) {
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  const rlim_t cap = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(256) << 20);
  const rlimit limit{cap, cap};
  if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);
  const int particles = m.ParticleCount();
  try {
    m.SetMaxParticles(20'000'000);
  } catch (const EOutOfMemory&) {
    std::_Exit(m.MaxParticles() == 10 && m.ParticleCount() == particles ? 0 : 3);
  }
  std::_Exit(4);
}

}  // namespace

// A pool that cannot be allocated raises the run-time's out-of-memory error with the pool
// unchanged. Shown in a child process whose address space is capped a little above what it
// uses, so the refusal does not depend on how much the kernel would overcommit.
TEST_F(TFire, PoolAllocationFailuresAreRunTimeErrors) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer reserves more address space than any cap allows";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  m.SetMaxParticles(10);
  m.SetParticles(std::vector<TFireParticle>(5, Particle(0, 1, 1)), 0.3f);
  EXPECT_EXIT(GrowPoolUnderCappedAddressSpace(m), ::testing::ExitedWithCode(0), "");
#endif
}

TEST_F(TFire, DrawsFarthestFirstWithFadingAlpha) {
  TGLRecorder rec;
  TGLBFireFX fx;
  fx.SetManager(&m);
  TRenderContextInfo rci;
  rci.cameraDirection = {{0, 0, -1, 0}};

  m.SetParticles({Particle(0, 1, 2)}, 0);
  fx.Render(nullptr, rci);
  EXPECT_EQ(rec.Count("glCallList"), 0);  // one particle draws nothing
  EXPECT_EQ(rec.Count("glPushAttrib"), rec.Count("glPopAttrib"));

  rec.Clear();
  TFireParticle nearP = Particle(0, 1, 2), farP = Particle(0, 2, 2);
  nearP.Position[2] = -1;  // closer along the view
  farP.Position[2] = -5;
  m.SetParticles({nearP, farP}, 0);
  fx.Render(nullptr, rci);
  EXPECT_EQ(rec.Count("glCallList"), 2);
  auto colours = rec.CallsTo("glColor4fv");
  ASSERT_EQ(colours.size(), 2u);
  EXPECT_FLOAT_EQ(float(colours[0].Data[3]), 0.5f);   // the far one first: life 2 of 2
  EXPECT_FLOAT_EQ(float(colours[1].Data[3]), 0.25f);  // half its life: 1 / (2 x 2)
  auto moves = rec.CallsTo("glTranslatef");
  ASSERT_EQ(moves.size(), 2u);
  EXPECT_EQ(moves[0].Args[2], -5.0);
  EXPECT_EQ(moves[1].Args[2], 4.0);  // relative to the previous particle
  EXPECT_EQ(rec.Count("glDeleteLists"), 1);
  EXPECT_EQ(rec.CallsTo("glDepthMask").front().Args[0], GL_FALSE);

  // Drawn into a list being compiled (an amalgamated group): no list begins inside it, each
  // glow is sent as it is.
  rec.Clear();
  rci.amalgamating = true;
  fx.Render(nullptr, rci);
  EXPECT_EQ(rec.Count("glNewList"), 0);
  EXPECT_EQ(rec.Count("glGenLists"), 0);
  EXPECT_EQ(rec.Count("glCallList"), 0);
  EXPECT_EQ(rec.Count("glBegin"), 2);
  EXPECT_EQ(rec.Count("glDeleteLists"), 0);
}

TEST_F(TFire, EffectStreamAndManagerLink) {
  m.SetName("Fire1");
  TGLBFireFX fx;
  fx.SetManager(&m);
  EXPECT_EQ(m.ClientCount(), 1);

  TMemoryStream s;
  {
    TWriter w(&s);
    fx.WriteToFiler(&w);
  }
  const auto* bytes = static_cast<const uint8_t*>(s.Memory());
  const std::string tail(reinterpret_cast<const char*>(bytes) + s.Size() - 9, 9);
  EXPECT_EQ(tail, std::string("\x02\x00\x06\x05"
                              "Fire1",
                              9));

  s.SetPosition(0);
  TGLBFireFX copy;
  {
    TReader r(&s);
    copy.ReadFromFiler(&r);
  }
  EXPECT_EQ(copy.Manager(), nullptr);
  EXPECT_EQ(copy.PendingManagerName(), "Fire1");
  copy.OwnerLoaded();
  EXPECT_EQ(copy.Manager(), &m);
  EXPECT_EQ(copy.PendingManagerName(), "");

  TGLBFireFX lost;
  std::string unknown = std::string(reinterpret_cast<const char*>(bytes), size_t(s.Size()));
  unknown.replace(unknown.size() - 5, 5, "Fire9");
  TStringStream us(unknown);
  {
    TReader r(&us);
    lost.ReadFromFiler(&r);
  }
  lost.OwnerLoaded();
  EXPECT_EQ(lost.Manager(), nullptr);

  // Only version 0 of the effect's own data is understood.
  std::string later = std::string(reinterpret_cast<const char*>(bytes), size_t(s.Size()));
  later[later.size() - 8] = '\x01';
  TStringStream ls(later);
  TGLBFireFX refused;
  {
    TReader r(&ls);
    EXPECT_THROW(refused.ReadFromFiler(&r), EAssertionFailed);
  }

  // A manager going away leaves its effects without one.
  auto temp = std::make_unique<TGLFireFXManager>(nullptr);
  fx.SetManager(temp.get());
  EXPECT_EQ(m.ClientCount(), 1);
  temp.reset();
  EXPECT_EQ(fx.Manager(), nullptr);
}

}  // namespace
