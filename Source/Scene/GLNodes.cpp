// Node lists: node values and change notification, the spline through the nodes and the
// tessellated outline.
#include "Source/Scene/GLNodes.h"

#include <cmath>
#include <deque>
#include <exception>
#include <vector>

#include "Source/Base/OpenGL1x.h"
#include "Source/Base/VectorGeometry.h"
#include "Source/Base/XOpenGL.h"
#include "Source/Scene/GLFlatArea.h"
#include "Source/Scene/GLMisc.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

// ---- TGLNode -----------------------------------------------------------------------------

TGLNode::TGLNode(TCollection* ACollection) : TCollectionItem(ACollection) {}

void TGLNode::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLNode>())
    coords_ = static_cast<TGLNode*>(Source)->coords_;
  else
    inherited::Assign(Source);
}

std::string TGLNode::GetDisplayName() { return Format("%.4f; %.4f; %.4f", X(), Y(), Z()); }

void TGLNode::SetIndexedComponent(int index, float value) {
  RTL_ASSERT(index >= 0 && index < 3);
  coords_[index] = value;
  if (Collection() && Collection()->Is<TGLNodes>()) static_cast<TGLNodes*>(Collection())->NotifyChange();
}

// ---- TGLNodes ----------------------------------------------------------------------------

TGLNodes::TGLNodes(TPersistent* AOwner, TClass AItemClass) : TOwnedCollection(AOwner, AItemClass) {
  RTL_ASSERT(AItemClass && AItemClass->InheritsFrom(TGLNode::StaticClass()));
}

void TGLNodes::AddNode(float x, float y, float z) {
  BeginUpdate();
  try {
    TGLNode* n = Add();
    n->SetX(x);
    n->SetY(y);
    n->SetZ(z);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TGLNodes::NotifyChange() {
  TPersistent* owner = GetOwner();
  if (UpdateCount() == 0 && owner && owner->Is<TGLUpdateAbleComponent>())
    static_cast<TGLUpdateAbleComponent*>(owner)->NotifyChange(this);
}

void TGLNodes::Update(TCollectionItem* Item) {
  inherited::Update(Item);
  NotifyChange();
}

void TGLNodes::EndUpdate() {
  inherited::EndUpdate();
  if (UpdateCount() == 0) NotifyChange();
}

TAffineVector TGLNodes::PlaneNormal() const {
  // From the whole outline, not from its first corners: an outline that first turns inward, or
  // whose first nodes are in line but for rounding, still faces the way it runs around.
  return FlatShapeNormal(Count(), [this](int i) { return Items(i)->ReadAffineVector(); });
}

std::unique_ptr<TCubicSpline> TGLNodes::BuildCubicSpline() const {
  const int n = Count();
  std::vector<float> x(n), y(n), z(n);
  for (int i = 0; i < n; ++i) {
    const TGLNode* node = Items(i);
    x[i] = node->X();
    y[i] = node->Y();
    z[i] = node->Z();
  }
  return std::make_unique<TCubicSpline>(x.data(), y.data(), z.data(), nullptr, n);
}

// ---- tessellated outline -----------------------------------------------------------------

namespace {

// State shared with the GLU callbacks. The callbacks run inside GLU's C frames: they never
// throw; the first failure is kept and raised once the tessellator has been released.
struct TOutlineTessellation {
  bool textured = false;
  // Spline samples and combined vertices. A deque never moves existing entries, and GLU keeps
  // the data pointers of earlier vertices until the polygon ends.
  std::deque<TAffineVector> scratch;
  GLenum gluError = 0;
  std::exception_ptr failure;

  void Fail() {
    if (!failure) failure = std::current_exception();
  }
};

void GLAPIENTRY TessBegin(GLenum type, void* data) {
  auto* t = static_cast<TOutlineTessellation*>(data);
  try {
    GL.glBegin(type);
  } catch (...) {
    t->Fail();
  }
}

void GLAPIENTRY TessVertex(void* vertex, void* data) {
  auto* t = static_cast<TOutlineTessellation*>(data);
  try {
    const float* v = static_cast<const float*>(vertex);
    if (t->textured) MappedTexCoord3fv(v);
    GL.glVertex3fv(v);
  } catch (...) {
    t->Fail();
  }
}

void GLAPIENTRY TessEnd(void* data) {
  auto* t = static_cast<TOutlineTessellation*>(data);
  try {
    GL.glEnd();
  } catch (...) {
    t->Fail();
  }
}

void GLAPIENTRY TessError(GLenum errorCode, void* data) {
  auto* t = static_cast<TOutlineTessellation*>(data);
  if (t->gluError == 0) t->gluError = errorCode;
}

void GLAPIENTRY TessCombine(GLdouble coords[3], void* /*vertexData*/[4], GLfloat /*weight*/[4], void** outData,
                            void* data) {
  auto* t = static_cast<TOutlineTessellation*>(data);
  try {
    t->scratch.push_back({float(coords[0]), float(coords[1]), float(coords[2])});
    *outData = t->scratch.back().V;
  } catch (...) {
    // Out of memory: hand GLU the first entry rather than nothing; the failure is raised later.
    t->Fail();
    *outData = t->scratch.empty() ? nullptr : t->scratch.front().V;
  }
}

template <class F>
_GLUfuncptr Callback(F f) {
  return reinterpret_cast<_GLUfuncptr>(f);
}

}  // namespace

void TGLNodes::DrawTessellatedOutline(bool textured, const TAffineVector* normal, int splineDivisions,
                                      bool invertOrder) {
  const int count = Count();
  if (count < 3) return;

  TOutlineTessellation state;
  state.textured = textured;
  {
    GLUtesselator* tess = GL.gluNewTess();
    if (!tess) throw EOutOfMemory("Out of memory");
    TScopeExit freeTess([tess] { GL.gluDeleteTess(tess); });
    GL.gluTessCallback(tess, GLU_TESS_BEGIN_DATA, Callback(&TessBegin));
    GL.gluTessCallback(tess, GLU_TESS_VERTEX_DATA, Callback(&TessVertex));
    GL.gluTessCallback(tess, GLU_TESS_END_DATA, Callback(&TessEnd));
    GL.gluTessCallback(tess, GLU_TESS_ERROR_DATA, Callback(&TessError));
    GL.gluTessCallback(tess, GLU_TESS_COMBINE_DATA, Callback(&TessCombine));
    if (normal) {
      GL.glNormal3fv(normal->V);
      GL.gluTessNormal(tess, (*normal)[0], (*normal)[1], (*normal)[2]);
    }

    GL.gluTessBeginPolygon(tess, &state);
    GL.gluTessBeginContour(tess);
    auto feed = [tess](float* v) {
      GLdouble d[3] = {v[0], v[1], v[2]};  // GLU copies the coordinates
      GL.gluTessVertex(tess, d, v);
    };
    if (splineDivisions > 1) {
      const std::unique_ptr<TCubicSpline> spline = BuildCubicSpline();
      const int samples = (count - 1) * splineDivisions + 1;
      const float f = 1.0f / float(splineDivisions);
      for (int i = 0; i < samples; ++i) {
        const int k = invertOrder ? samples - 1 - i : i;
        TAffineVector p;
        spline->EvaluateAffine(float(k) * f, p);
        state.scratch.push_back(p);
        feed(state.scratch.back().V);
      }
    } else {
      for (int i = 0; i < count; ++i) feed(Items(invertOrder ? count - 1 - i : i)->AsAddress());
    }
    GL.gluTessEndContour(tess);
    GL.gluTessEndPolygon(tess);
  }

  if (state.failure) std::rethrow_exception(state.failure);
  if (state.gluError != 0) {
    const GLubyte* text = GL.gluErrorString(state.gluError);
    RTL_ASSERT(false, IntToStr(int(state.gluError)) + ": " + (text ? reinterpret_cast<const char*>(text) : ""));
  }
}

void RegisterGLNodesClasses() {
  RegisterClasses({TGLNode::StaticClass(), TGLNodes::StaticClass()});
  // Stored only when non-zero.
  TPublished<TGLNode>()
      .Float("X", &TGLNode::X, &TGLNode::SetX, 0.0)
      .Float("Y", &TGLNode::Y, &TGLNode::SetY, 0.0)
      .Float("Z", &TGLNode::Z, &TGLNode::SetZ, 0.0);
}
