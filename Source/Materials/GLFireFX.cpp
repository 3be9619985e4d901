// Fire: the particle manager's emission, ageing and motion, and the fire effect's drawn glows.
#include "Source/Materials/GLFireFX.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <numeric>
#include <random>
#include <stdexcept>

#include "Source/Base/OpenGL1x.h"
#include "Source/Base/VectorGeometry.h"
#include "Source/Scene/GLCadencer.h"
#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLCoordinates.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Scene/GLState.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

float SharedRandom() {
  static std::mt19937 engine(std::random_device{}());
  static std::uniform_real_distribution<float> dist(0.0f, 1.0f);
  float v = dist(engine);
  return v < 1.0f ? v : 0.0f;  // the distribution can round up to 1 in single precision
}

}  // namespace

TGLFireFXManager::TGLFireFXManager(TComponent* AOwner)
    : TGLCadenceAbleComponent(AOwner),
      fireDir_(std::make_unique<TGLCoordinates>(this, TVector4f{{0, 0.5f, 0, 0}}, csVector)),
      initialDir_(std::make_unique<TGLCoordinates>(this, TVector4f{{0, 1, 0, 0}}, csVector)),
      innerColor_(std::make_unique<TGLColor>(this, TVector4f{{1, 1, 0, 1}})),
      outerColor_(std::make_unique<TGLColor>(this, TVector4f{{1, 0.5f, 0, 1}})) {
  particles_.resize(size_t(maxParticles_));
  AddToManagerRegistry(this);
}

TGLFireFXManager::~TGLFireFXManager() {
  for (TGLBFireFX* client : clients_) client->manager_ = nullptr;
  clients_.clear();
  SetCadencer(nullptr);
  SetReference(nullptr);
  RemoveFromManagerRegistry(this);
}

void TGLFireFXManager::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove) {
    if (AComponent == cadencer_) cadencer_ = nullptr;
    if (AComponent == reference_) reference_ = nullptr;
  }
  inherited::Notification(AComponent, Operation);
}

void TGLFireFXManager::SetFireDir(TGLCoordinates* Value) { fireDir_->Assign(Value); }
void TGLFireFXManager::SetInitialDir(TGLCoordinates* Value) { initialDir_->Assign(Value); }

void TGLFireFXManager::SetCadencer(TGLCadencer* Value) {
  if (Value == cadencer_) return;
  if (cadencer_) {
    cadencer_->RemoveSubscriber(this);
    cadencer_->RemoveFreeNotification(this);
  }
  cadencer_ = Value;
  if (cadencer_) {
    cadencer_->AddSubscriber(this);
    cadencer_->FreeNotification(this);
  }
}

void TGLFireFXManager::SetReference(TGLBaseSceneObject* Value) {
  if (Value == reference_) return;
  if (reference_) reference_->RemoveFreeNotification(this);
  reference_ = Value;
  if (reference_) reference_->FreeNotification(this);
}

void TGLFireFXManager::SetMaxParticles(int Value) {
  CheckStoredVertices(*this, double(Value) * kFireParticleVertices);
  Value = Value < 1 ? 0 : Value;
  if (Value == maxParticles_) return;
  try {
    particles_.resize(size_t(Value));  // unchanged when it fails
  } catch (const std::bad_alloc&) {
    throw EOutOfMemory(Format("Out of memory for %d fire particles", Value));
  } catch (const std::length_error&) {
    throw EOutOfMemory(Format("Out of memory for %d fire particles", Value));
  }
  maxParticles_ = Value;
  particleCount_ = std::min(particleCount_, maxParticles_);
}

void TGLFireFXManager::SetInnerColor(TGLColor* Value) {
  if (Value == innerColor_.get()) return;
  innerColor_->Assign(Value);
  FireInit();
}

void TGLFireFXManager::SetOuterColor(TGLColor* Value) {
  if (Value == outerColor_.get()) return;
  outerColor_->Assign(Value);
  FireInit();
}

void TGLFireFXManager::FireInit() {
  intervalAccumulator_ = 0;
  particleCount_ = 0;
  particles_.assign(size_t(maxParticles_), TFireParticle{});
}

void TGLFireFXManager::SetParticles(const std::vector<TFireParticle>& particles, float accumulator) {
  particleCount_ = std::min(int(particles.size()), maxParticles_);
  std::copy_n(particles.begin(), particleCount_, particles_.begin());
  intervalAccumulator_ = accumulator;
}

void TGLFireFXManager::RegisterClient(TGLBFireFX* aClient) {
  if (!aClient || std::find(clients_.begin(), clients_.end(), aClient) != clients_.end()) return;
  clients_.push_back(aClient);
  aClient->manager_ = this;
}

void TGLFireFXManager::UnRegisterClient(TGLBFireFX* aClient) {
  auto it = std::find(clients_.begin(), clients_.end(), aClient);
  if (it == clients_.end()) return;
  clients_.erase(it);
  aClient->manager_ = nullptr;
}

float TGLFireFXManager::NextRandom() { return Random ? Random() : SharedRandom(); }

void TGLFireFXManager::DoProgress(const TProgressTimes& progressTime) {
  if (!paused_ && particleInterval_ > 0) CalcFire(float((std::fabs(fireBurst_) + 1.0f) * progressTime.deltaTime));
  const std::vector<TGLBFireFX*> clients = clients_;
  for (TGLBFireFX* client : clients)
    if (TGLBaseSceneObject* obj = client->OwnerBaseSceneObject()) obj->NotifyChange(this);
}

void TGLFireFXManager::CalcFire(float dt) {
  const TVector4f& fireDir = fireDir_->AsVector();
  int i = 0;
  while (i < particleCount_) {
    TFireParticle& p = particles_[size_t(i)];
    p.Life -= dt;
    if (p.Life > 0) {
      p.Speed = VectorCombine(p.Speed, fireDir, 1.0f, dt);
      p.Position = VectorCombine(p.Position, p.Speed, 1.0f, dt);
      ++i;
    } else {
      // The last live particle takes the slot and is examined next.
      p = particles_[size_t(particleCount_ - 1)];
      --particleCount_;
    }
  }
  if (disabled_) return;

  const TVector4f centre = reference_ ? reference_->AbsolutePosition() : TVector4f{{0, 0, 0, 1}};
  intervalAccumulator_ += dt / particleInterval_;
  if (!useInterval_ || intervalAccumulator_ > 1.0f) {
    const float fraction = intervalAccumulator_ - std::trunc(intervalAccumulator_);
    // A particle with no life would be drawn with an undefined alpha before it is removed.
    if (particleLife_ > 0) {
      if (useInterval_) {
        if (particleCount_ < maxParticles_) AddParticle(centre);
      } else {
        while (particleCount_ < maxParticles_) AddParticle(centre);
      }
    }
    intervalAccumulator_ = fraction;
  }
}

void TGLFireFXManager::AddParticle(const TVector4f& centre) {
  const float r1 = NextRandom(), r2 = NextRandom(), r3 = NextRandom();
  TAffineVector offset{(r1 * 2 - 1) * fireRadius_, (r2 * 2 - 1) * fireRadius_, (r3 * 2 - 1) * fireRadius_ + fireCrown_};
  AffineVectorRotateAroundY(offset, NextRandom() * 2.0f * float(M_PI));
  TFireParticle& p = particles_[size_t(particleCount_)];
  p.Position = {{offset[0] + centre[0], offset[1] + centre[1], offset[2] + centre[2], centre[3]}};
  p.Speed = initialDir_->AsVector();
  p.Life = (NextRandom() * 0.5f + 0.5f) * float(particleLife_);
  p.InitialLife = p.Life;
  p.Density = fireDensity_;
  ++particleCount_;
}

// ---------------------------------------------------------------------------------------------

TGLBFireFX::~TGLBFireFX() { SetManager(nullptr); }

void TGLBFireFX::SetManager(TGLFireFXManager* Value) {
  if (Value == manager_) return;
  if (manager_) manager_->UnRegisterClient(this);
  if (Value) Value->RegisterClient(this);
}

void TGLBFireFX::Assign(TPersistent* Source) {
  if (auto* other = dynamic_cast<TGLBFireFX*>(Source)) SetManager(other->manager_);
  inherited::Assign(Source);
}

void TGLBFireFX::WriteToFiler(TWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
  Writer->WriteString(manager_ ? manager_->Name() : std::string());
}

void TGLBFireFX::ReadFromFiler(TReader* Reader) {
  inherited::ReadFromFiler(Reader);
  const int version = Reader->ReadInteger();
  RTL_ASSERT(version == 0);
  managerName_ = Reader->ReadString();
  SetManager(nullptr);
}

void TGLBFireFX::OwnerLoaded() {
  if (managerName_.empty()) return;
  auto* found = dynamic_cast<TGLFireFXManager*>(LookUpRegisteredManager(TGLFireFXManager::StaticClass(), managerName_));
  if (found) SetManager(found);
  managerName_.clear();
}

void TGLBFireFX::Render(TGLSceneBuffer* buffer, TRenderContextInfo& rci) {
  if (!manager_) return;
  TGLFireFXManager& m = *manager_;
  const int n = m.particleCount_;
  // Farthest first along the camera's view; sorted before any state is pushed.
  std::vector<float> keys;
  std::vector<int> order;
  if (n >= 2) {
    try {
      keys.resize(static_cast<size_t>(n));
      order.resize(static_cast<size_t>(n));
    } catch (const std::bad_alloc&) {
      throw EOutOfMemory(Format("Out of memory sorting %d fire particles", n));
    }
    for (int i = 0; i < n; ++i)
      keys[size_t(i)] = VectorDotProduct(rci.cameraDirection, m.particles_[size_t(i)].Position);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) { return SortKeyLess(keys[size_t(a)], keys[size_t(b)]); });
  }
  GL.glPushAttrib(0xFFFFF);
  GL.glPushMatrix();
  if (m.reference_ && buffer) GL.glLoadMatrixf(buffer->ModelViewMatrix().data());

  GL.glDisable(GL_CULL_FACE);
  GL.glDisable(GL_TEXTURE_2D);
  GL.glDisable(GL_LIGHTING);
  GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE);
  GL.glEnable(GL_BLEND);
  GL.glDepthFunc(GL_LEQUAL);
  if (m.noZWrite_) GL.glDepthMask(GL_FALSE);

  if (n >= 2) {
    GLfloat mv[16] = {};
    GL.glGetFloatv(GL_MODELVIEW_MATRIX, mv);
    const float s = m.particleSize_, e = m.fireEvaporation_;
    const TAffineVector R{mv[0] * s, mv[4] * s, mv[8] * s};
    const TAffineVector U{mv[1] * s, mv[5] * s, mv[9] * s};
    auto rim = [&](float fr, float fu) {
      GL.glVertex3f(R[0] * fr + U[0] * fu, R[1] * fr + U[1] * fu, R[2] * fr + U[2] * fu);
    };
    const TVector4f& outer = m.outerColor_->Color();
    const auto fan = [&] {
      GL.glBegin(GL_TRIANGLE_FAN);
      GL.glVertex3f(0, 0, 0);
      GL.glColor4f(outer[0], outer[1], outer[2], 0);
      rim(-1, 0);
      rim(-0.5f, e);
      rim(0.5f, e);
      rim(1, 0);
      rim(0.5f, -e);
      rim(-0.5f, -e);
      rim(-1, 0);
      GL.glEnd();
    };
    // One list for the particle's shape, except while the fire is itself compiled into a list
    // (an amalgamated group): no list may begin inside another, so the shape is sent each time.
    const bool ownList = !(rci.amalgamating || (rci.GLStates && rci.GLStates->Compiling()));
    const GLuint list = ownList ? GL.glGenLists(1) : 0;
    if (ownList) {
      GL.glNewList(list, GL_COMPILE);
      fan();
      GL.glEndList();
    }
    TScopeExit deleteList([ownList, list] {
      if (ownList) GL.glDeleteLists(list, 1);
    });

    GL.glPushMatrix();
    TVector4f last{{0, 0, 0, 0}};
    for (int k = n - 1; k >= 0; --k) {
      const TFireParticle& p = m.particles_[size_t(order[size_t(k)])];
      GL.glTranslatef(p.Position[0] - last[0], p.Position[1] - last[1], p.Position[2] - last[2]);
      last = p.Position;
      TVector4f c = m.innerColor_->Color();
      c[3] = p.Density * p.Life / (p.InitialLife * p.InitialLife);
      GL.glColor4fv(c.V);
      if (ownList)
        GL.glCallList(list);
      else
        fan();
    }
    GL.glPopMatrix();
  }

  if (m.noZWrite_) GL.glDepthMask(GL_TRUE);
  GL.glDepthFunc(GL_LESS);
  GL.glPopMatrix();
  GL.glPopAttrib();
}

// ---------------------------------------------------------------------------------------------

void RegisterGLFireFXClasses() {
  RegisterXCollectionItemClass<TGLBFireFX>();
  RegisterClass(TGLFireFXManager::StaticClass());
  using M = TGLFireFXManager;
  TPublished<M>()
      .Object("FireDir", &M::FireDir)
      .Object("InitialDir", &M::InitialDir)
      .Component("Cadencer", &M::Cadencer, &M::SetCadencer)
      .Integer("MaxParticles", &M::MaxParticles, &M::SetMaxParticles, 256)
      .Float("ParticleSize", &M::ParticleSize, &M::SetParticleSize, 1.0)
      .Object("InnerColor", &M::InnerColor)
      .Object("OuterColor", &M::OuterColor)
      .Float("FireDensity", &M::FireDensity, &M::SetFireDensity, 1.0)
      .Float("FireEvaporation", &M::FireEvaporation, &M::SetFireEvaporation, 0.86)
      .Float("FireCrown", &M::FireCrown, &M::SetFireCrown, 0.0)
      .Integer("ParticleLife", &M::ParticleLife, &M::SetParticleLife, 3)
      .Float("FireBurst", &M::FireBurst, &M::SetFireBurst, 0.0)
      .Float("FireRadius", &M::FireRadius, &M::SetFireRadius, 1.0)
      .Boolean("Disabled", &M::Disabled, &M::SetDisabled, false)
      .Boolean("Paused", &M::Paused, &M::SetPaused, false)
      .Float("ParticleInterval", &M::ParticleInterval, &M::SetParticleInterval, 0.1)
      .Boolean("UseInterval", &M::UseInterval, &M::SetUseInterval, true)
      .Component("Reference", &M::Reference, &M::SetReference)
      .Boolean("NoZWrite", &M::NoZWrite, &M::SetNoZWrite, true);
}
