// Conversation pipes: linking the two end cubes, info lines, the port label and its colour, and
// drawing.
#include "app/MyCylinder.h"

#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLTexture.h"

#include <memory>
#include "Source/Base/OpenGL1x.h"
#include "Source/Materials/GLMaterialPasses.h"
#include "Source/Scene/GLRenderContextInfo.h"
#include "Source/Scene/GLSceneBuffer.h"
#include "Source/Scene/GLState.h"
#include "Source/Scene/GLUploadBudget.h"
#include "app/SnifferObject.h"
#include "app/Unit_Globals.h"
#include "platform/Graphics.h"
#include "rtl/SysUtils.h"

#include <QPlainTextEdit>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>

MyCylinder::MyCylinder(TComponent* AOwner) : TGLCylinder(AOwner) {
  // Pipes differ in length and a few radii only; one list per radius serves them all, and a
  // pipe that widens with its packets compiles nothing.
  SetDrawnFromSharedLists(true);
}

MyCylinder::~MyCylinder() { SetEnds(nullptr, nullptr); }

void MyCylinder::SetEnds(SnifferObject* src, SnifferObject* dst) {
  for (SnifferObject* old : {FSrcObject, FDstObject})
    if (old && old != src && old != dst) old->RemoveFreeNotification(this);
  FSrcObject = src;
  FDstObject = dst;
  if (src) src->FreeNotification(this);
  if (dst) dst->FreeNotification(this);
}

void MyCylinder::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove) {
    if (AComponent == FSrcObject) FSrcObject = nullptr;
    if (AComponent == FDstObject) FDstObject = nullptr;
  }
  TGLCylinder::Notification(AComponent, Operation);
}

bool MyCylinder::TFarLook::Same(const TFarLook& other) const noexcept {
  return VectorEquals(ambient, other.ambient) && VectorEquals(diffuse, other.diffuse) &&
         VectorEquals(specular, other.specular) && VectorEquals(emission, other.emission) &&
         shininess == other.shininess && polygonMode == other.polygonMode && blending == other.blending &&
         plain == other.plain;
}

const MyCylinder::TFarLook& MyCylinder::FarLook() {
  if (FFarLookStamp != ChangeStamp()) {
    TGLMaterial* m = Material();
    const TGLFaceProperties& f = *m->FrontProperties();
    FFarLook.ambient = f.Ambient()->Color();
    FFarLook.diffuse = f.Diffuse()->Color();
    FFarLook.specular = f.Specular()->Color();
    FFarLook.emission = f.Emission()->Color();
    FFarLook.shininess = int(f.Shininess());
    FFarLook.polygonMode = uint8_t(f.PolygonMode());
    FFarLook.blending = uint8_t(m->BlendingMode());
    FFarLook.plain = !m->Texture()->Enabled() && m->LibMaterialName().empty();
    FFarLookStamp = ChangeStamp();
  }
  return FFarLook;
}

void MyCylinder::AddInfoLine(const TInfoLine& line) {
  InfoLines.Add(line);
  if (InfoMemo) AppendInfoLine(InfoMemo, line);
}

void MyCylinder::SetLabelTexts(const std::string& srcText, const std::string& dstText, float scaleX, float height) {
  FLabelSrc = srcText;
  FLabelDst = dstText;
  FLabelScaleX = scaleX;
  FLabelHeight = height;
  FLabelPending = true;
  FHasLabel = true;
  FTintKnown = false;
  NotifyChange(this);
}

void MyCylinder::SetLabelHeight(float height) {
  FLabelHeight = height;
  TGLTextureEx* ex = Material()->TextureEx();
  if (ex->Count() > 0) ex->Items(0)->TextureScale()->SetY(2 * height);
}

void MyCylinder::DrawPendingLabel() {
  if (!FLabelPending) return;
  FLabelPending = false;
  MakePipeLabel(this, FLabelSrc, FLabelDst, FLabelScaleX, FLabelHeight);
  FLabelHeld = true;
}

void MyCylinder::DropLabelPicture() {
  if (!FLabelHeld) return;
  TGLTextureEx* ex = Material()->TextureEx();
  if (ex->Count() > 0) {
    TGLTexture* tex = ex->Items(0)->Texture();
    tex->SetDisabled(true);
    tex->DestroyHandles();
    tex->SetImage(nullptr);  // a fresh empty image: the picture goes
  }
  FLabelHeld = false;
  FLabelPending = FHasLabel;
}

void MyCylinder::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  // Under an upload budget the label is drawn and uploaded at once when its
  // turn comes, else it waits (the pipe shows its previous label meanwhile).
  // Only a normal pass shows it: picking draws no pictures.
  if (renderSelf && FLabelPending && rci.drawState == dsRendering &&
      (!rci.uploadBudget || rci.uploadBudget->Admit(FLabelWaitingSince))) {
    TGLUploadTimer timer(rci.uploadBudget);
    DrawPendingLabel();
    TGLTextureEx* ex = Material()->TextureEx();
    if (rci.uploadBudget && ex->Count() > 0 && ex->Items(0)->Texture()->Enabled())
      ex->Items(0)->Texture()->GetTextureHandle();
  }
  TGLCylinder::DoRender(rci, renderSelf, renderChildren);
}

uint32_t MyCylinder::LabelTint(bool mayDraw) {
  if (!FHasLabel) return 0xFFFFFF;
  if (FTintKnown || !mayDraw) return FTint;
  FTint = PipeLabelTint(FLabelSrc, FLabelDst);
  FTintKnown = true;
  return FTint;
}

uint32_t PipeLabelColour(const std::string& srcText, const std::string& dstText) {
  // Port texts that are not numbers count as 0.
  const int s = StrToIntDef(srcText, 0);
  const int d = StrToIntDef(dstText, 0);
  uint32_t colour = static_cast<uint32_t>(d + 12);
  auto either = [&](int port) { return s == port || d == port; };
  if (either(80)) colour = 12 | (12 << 8) | (180u << 16);
  if (either(25)) colour = 12 | (120 << 8) | (120u << 16);
  if (either(5252)) colour = 120 | (120 << 8) | (12u << 16);
  return colour;
}

namespace {
// Feed text of any length must not make the bitmap larger than a port needs.
std::string LabelText(const std::string& text) {
  if (text.size() <= MaxPipeLabelText) return text;
  static std::atomic<bool> logged{false};
  if (!logged.exchange(true))
    LogToPktData("Pipe label text of " + std::to_string(text.size()) + " characters cut to " +
                 std::to_string(MaxPipeLabelText));
  return text.substr(0, MaxPipeLabelText);
}
}  // namespace

namespace {
// The two lines of a pipe's label (texts already cut to length).
void DrawPipeLabel(TBitmap& bmp, const std::string& srcText, const std::string& dstText, uint32_t colour) {
  TCanvas& c = bmp.Canvas();
  c.Font().SetName("TaHoma");
  c.Font().SetColor(0xFFFFFF);
  c.Font().SetSize(21);
  c.Pen().SetColor(0x0000FF);
  c.Brush().SetColor(static_cast<TColor>(colour));
  const int w = std::max(c.TextWidth(srcText) + 10, c.TextWidth(dstText) + 10);
  const int h1 = c.TextHeight(srcText) + 2;
  const int h2 = c.TextHeight(dstText) + 2;
  const int h = 2 * std::max(h1, h2);
  bmp.SetSize(w + 1, h + 1);
  TCanvas& cv = bmp.Canvas();
  cv.Rectangle(1, 1, w, h);
  cv.TextOut(4, 2, dstText);
  cv.TextOut(4, h1, srcText);
}
}  // namespace

uint32_t PipeLabelTint(const std::string& srcText, const std::string& dstText) {
  TBitmap bmp(1, 1, pf24bit);
  DrawPipeLabel(bmp, LabelText(srcText), LabelText(dstText), PipeLabelColour(srcText, dstText));
  uint64_t sum[3] = {0, 0, 0};
  for (int y = 0; y < bmp.Height(); ++y) {
    const uint8_t* row = bmp.ScanLine(y);
    for (int x = 0; x < bmp.Width(); ++x)
      for (int k = 0; k < 3; ++k) sum[k] += row[3 * x + k];
  }
  const uint64_t n = std::max<uint64_t>(1, uint64_t(bmp.Width()) * uint64_t(bmp.Height()));
  auto mean = [&](int k) { return uint32_t((sum[k] + n / 2) / n); };
  return mean(2) | mean(1) << 8 | mean(0) << 16;  // rows hold B, G, R
}

void MakePipeLabel(MyCylinder* pipe, const std::string& srcTextIn, const std::string& dstTextIn, float scaleX,
                   float height) {
  const std::string srcText = LabelText(srcTextIn);
  const std::string dstText = LabelText(dstTextIn);
  const uint32_t colour = PipeLabelColour(srcTextIn, dstTextIn);
  TBitmap bmp(1, 1, pf24bit);
  DrawPipeLabel(bmp, srcText, dstText, colour);

  TGLTextureEx* ex = pipe->Material()->TextureEx();
  if (ex->Count() == 0) ex->Add();
  TGLTexture* tex = ex->Items(0)->Texture();
  tex->Image()->Assign(&bmp);
  // The picture is drawn again when the texture needs it (a new context):
  // a shown label holds only its texture.
  if (auto* image = dynamic_cast<TGLPictureImage*>(tex->Image()))
    image->SetRemake([srcText, dstText, colour](TPicture& picture) {
      auto again = std::make_unique<TBitmap>(1, 1, pf24bit);
      DrawPipeLabel(*again, srcText, dstText, colour);
      picture.TakeGraphic(std::move(again));
    });
  tex->SetDisabled(false);
  tex->SetTextureMode(tmModulate);
  TGLCoordinates* scale = ex->Items(0)->TextureScale();
  scale->SetX(scaleX);
  scale->SetY(2 * height);
  scale->SetZ(20.0f);
}

// ---- pipes drawn together from afar ----------------------------------------------------

TPipeGroup::TPipeGroup(TComponent* AOwner) : TGLDummyCube(AOwner) {}

TPipeGroup::~TPipeGroup() = default;

float TPipeGroup::LabelTilePixels(MyCylinder* pipe, const TVector4f& cameraInGroup, float viewPortHeight,
                                  float projectionY) {
  // The pipe's axis is its local Y, its middle at its position (caCenter).
  const TMatrix4f& m = *pipe->GetLocalMatrixPtr();
  const float h = pipe->Height();
  float lo = -h / 2, hi = h / 2;
  if (pipe->Alignment() == caTop) lo = -h, hi = 0;
  if (pipe->Alignment() == caBottom) lo = 0, hi = h;
  float rel[3], axisLen2 = 0, along = 0;
  for (int k = 0; k < 3; ++k) {
    rel[k] = cameraInGroup[k] - m[3][k];
    axisLen2 += m[1][k] * m[1][k];
    along += rel[k] * m[1][k];
  }
  const float axisLen = std::sqrt(axisLen2);
  if (axisLen > 0) along /= axisLen * axisLen;
  along = std::clamp(along, lo, hi);
  float d2 = 0;
  for (int k = 0; k < 3; ++k) {
    const float v = rel[k] - along * m[1][k];
    d2 += v * v;
  }
  const float d = std::max(std::sqrt(d2) - pipe->TopRadius(), 1e-3f);
  // A tile is half a unit long: the label's scale along the pipe is twice its height.
  return 0.5f * axisLen * viewPortHeight * 0.5f * std::fabs(projectionY) / d;
}

namespace {
bool PlainSides(MyCylinder* p) {
  return p->Parts() == TCylinderParts{cySides} && p->TopRadius() == p->BottomRadius() && p->Slices() > 0 &&
         p->Stacks() > 0 && p->Normals() == nsSmooth && p->NormalDirection() == ndOutside && p->DrawnFromSharedLists();
}

}  // namespace

void TPipeGroup::TLookBatch::Clear() {
  first = nullptr;
  pipes = 0;
  sides.Clear();
  tints.clear();
}

void TPipeGroup::TLookBatch::Free() {
  Clear();
  sides.Free();
  TFillVector<uint32_t>().swap(tints);
  if (tintPicture.Handle() != 0 && tintPicture.RenderingContext() == GetCurrentRenderingContext())
    tintPicture.FreeName();
}

void TPipeGroup::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  const bool together = DrawFarTogether && renderChildren && rci.drawState == dsRendering && !rci.ignoreMaterials &&
                        !rci.amalgamating && !rci.proxySubObject && rci.scene && rci.buffer && rci.GLStates &&
                        GetCurrentRenderingContext() && !(rci.GLStates && rci.GLStates->Compiling());
  if (!together) {
    TGLDummyCube::DoRender(rci, renderSelf, renderChildren);
    return;
  }
  TGLDummyCube::DoRender(rci, renderSelf, false);
  const TVector4f camera = AbsoluteToLocalAffine(rci.cameraPosition);
  const float projectionY = rci.buffer->ProjectionMatrix()[1][1];
  const float height = float(rci.viewPortHeight);
  // Pipes from afar by look: mostly one (a selected pipe has its own colour).
  constexpr size_t kLooks = 4;
  size_t looks = 0;
  for (auto& l : FLooks) l->Clear();
  std::vector<TGLBaseSceneObject*> alone;
  // Label colours still to work out take a few milliseconds a frame, so a flood of new pipes
  // does not stall one; until then a pipe shows no label colour, as one whose label waits.
  using TClock = std::chrono::steady_clock;
  const TClock::time_point tintsUntil = TClock::now() + std::chrono::microseconds(int64_t(TintMsPerFrame * 1000));
  bool mayDraw = true;
  // The walk reads a little of each of thousands of pipes: what it reads is fetched some pipes
  // ahead (the object first, then, once its class is known, what is read of a pipe).
  constexpr int kObjectAhead = 16, kPipeAhead = 8;
  const int count = Count();
  for (int i = 0; i < std::min(count, kObjectAhead); ++i) Children(i)->PrefetchForWalk();
  for (int i = 0; i < count; ++i) {
    if (i + kObjectAhead < count) Children(i + kObjectAhead)->PrefetchForWalk();
    if (i + kPipeAhead < count) {
      TGLBaseSceneObject* next = Children(i + kPipeAhead);
      if (next->ClassType() == MyCylinder::StaticClass()) static_cast<MyCylinder*>(next)->PrefetchForFarDraw();
    }
    TGLBaseSceneObject* c = Children(i);
    if (!c->Visible()) continue;
    if (c->ClassType() != MyCylinder::StaticClass() || c->HasChildList() || c->ShowAxes() ||
        (c->EffectsIfAny() && c->EffectsIfAny()->Count() > 0)) {
      alone.push_back(c);
      continue;
    }
    auto* p = static_cast<MyCylinder*>(c);
    const float tile = LabelTilePixels(p, camera, height, projectionY);
    p->FarLabel = tile < (p->FarLabel ? NearTilePx : FarTilePx);
    TLookBatch* look = nullptr;
    if (p->FarLabel && PlainSides(p) && p->FarLook().plain) {
      for (size_t k = 0; k < looks; ++k)
        if (FLooks[k]->first->FarLook().Same(p->FarLook())) {
          look = FLooks[k].get();
          break;
        }
      if (!look && looks < kLooks) {
        if (FLooks.size() == looks) FLooks.push_back(std::make_unique<TLookBatch>());
        look = FLooks[looks++].get();
        look->first = p;
        look->sides.cullBack = CullsBackFaces(p->Material()->FaceCulling(), rci);
        if (look->sides.cullBack)
          look->sides.SeeFromCurrentView(MatrixMultiply(*GetAbsoluteMatrixPtr(), rci.buffer->ModelViewMatrix()),
                                         rci.buffer->ProjectionMatrix());
      }
    }
    if (!look) {
      alone.push_back(c);
      continue;
    }
    // Too small to read: the pipe keeps no label picture of its own. No area without height,
    // as its own sides would have (it still gives its batch the look). Drawn without stacks:
    // seen from afar, the light along a pipe is the same at its stacks as between its two
    // ends, and each stack is more triangles for the rasteriser along the whole pipe.
    p->DropLabelPicture();
    if (p->Height() == 0) continue;
    if (mayDraw && !p->LabelTintKnown()) mayDraw = TClock::now() < tintsUntil;
    AddSides(*look, p, 1, p->LabelTint(mayDraw));
  }
  FDrawnTogether = 0;
  for (size_t k = 0; k < looks; ++k) FDrawnTogether += FLooks[k]->pipes;
  FDrawnAlone = int(alone.size());
  // Looks not seen this frame (the pipes went, or all are near): their room goes too.
  for (size_t k = FDrawnTogether == 0 ? 0 : looks; k < FLooks.size(); ++k) FLooks[k]->Free();
  for (size_t k = 0; k < looks; ++k) {
    if (FLooks[k]->pipes == 0) continue;
    try {
      DrawBatch(*FLooks[k], rci);
    } catch (...) {
      rci.GLStates->ResetCachedState();
      throw;
    }
  }
  // Last: drawing one of these may free others, or the group.
  RenderEachChild(std::move(alone), rci);
}

namespace {
// One texel of a look's shared picture a pipe: its label's colour from afar.
constexpr int kTintsWide = 256;

// As the quadric library lays out a cylinder's sides: the corners around it, the first again last.
struct TAround {
  int slices = -1;
  std::vector<float> sines, cosines;
  void For(int n) {
    if (n == slices) return;
    sines.resize(size_t(n) + 1);
    cosines.resize(size_t(n) + 1);
    for (int i = 0; i < n; ++i) {
      const double angle = 2 * M_PI * i / n;
      sines[size_t(i)] = float(std::sin(angle));
      cosines[size_t(i)] = float(std::cos(angle));
    }
    sines[size_t(n)] = sines[0];
    cosines[size_t(n)] = cosines[0];
    slices = n;
  }
};
}  // namespace

void TPipeGroup::AddSides(TLookBatch& batch, MyCylinder* p, int stacks, uint32_t tint) {
  const int n = batch.pipes++;
  batch.tints.push_back(0xFF000000u | tint);  // bytes R, G, B, A
  // The texel's row is made a place in the picture once the picture's height is known.
  const float s = (float(n % kTintsWide) + 0.5f) / kTintsWide;
  const float t = float(n / kTintsWide) + 0.5f;
  const int slices = p->Slices();
  static thread_local TAround around;
  around.For(slices);
  const size_t row = size_t(slices) + 1;
  // Quadric space (axis Z from 0 to 1, radius r) into the group's space: the pipe's own
  // matrix, turned onto its Y axis and stretched to its height (DrawSharedSides).
  const TMatrix4f& m = *p->GetLocalMatrixPtr();
  const float h = p->Height(), r = p->TopRadius();
  // A side faces the viewer when the view point is on the outer side of its plane (which holds
  // the axis' direction, so one test serves the whole length). Sides seen nearly edge-on are
  // kept: GL culls them or draws next to nothing of them.
  uint32_t shown = ~0u;  // bit i: side i, between corners i and i+1
  int shownSides = slices;
  TGLBatchArrays& sides = batch.sides;
  if (sides.cullBack && slices <= 32) {
    shown = 0;
    shownSides = 0;
    // From the axis towards the viewer; a side's corner lies r out from the axis, which moves
    // what is seen of it only with a view point at a finite place (w > 0).
    float toViewer[3], length = 0;
    sides.TowardsViewer(m[3].V, toViewer);
    for (int k = 0; k < 3; ++k) length += toViewer[k] * toViewer[k];
    const float w = sides.viewPoint[3];
    const float slack = -1e-3f * (std::sqrt(length) + std::fabs(w) * r);
    for (int i = 0; i < slices; ++i) {
      // The side's outward normal, halfway between its two corners' (unnormalised).
      const float nx = around.sines[size_t(i)] + around.sines[size_t(i) + 1];
      const float nz = -(around.cosines[size_t(i)] + around.cosines[size_t(i) + 1]);
      float facing = 0, inward = 0;
      for (int k = 0; k < 3; ++k) {
        const float n = nx * m[0][k] + nz * m[2][k];
        facing += n * toViewer[k];
        inward += n * (around.sines[size_t(i)] * m[0][k] - around.cosines[size_t(i)] * m[2][k]);
      }
      if (facing - w * r * inward > slack * std::sqrt(nx * nx + nz * nz)) {
        shown |= 1u << i;
        ++shownSides;
      }
    }
  }
  // Only the corners of the sides drawn are written: each corner's place in its row.
  const auto sideShown = [&](size_t i) { return slices > 32 || (shown >> i & 1u); };
  static thread_local std::vector<uint32_t> place;
  place.resize(row);
  uint32_t perRow = 0;
  for (size_t i = 0; i < row; ++i) {
    place[i] = perRow;
    perRow += (i < size_t(slices) && sideShown(i)) || (i > 0 && sideShown(i - 1));
  }
  float *vertex, *normal, *texCoord;
  uint32_t* index;
  const uint32_t firstVertex =
      sides.Grow(size_t(stacks + 1) * perRow, 6 * size_t(stacks) * size_t(shownSides), vertex, normal, texCoord, index);
  const float base = p->Alignment() == caTop ? -h : p->Alignment() == caBottom ? 0 : -h / 2;
  for (int j = 0; j <= stacks; ++j) {
    const float along = base + h * float(j) / float(stacks);  // object Y
    float centre[3];
    for (int k = 0; k < 3; ++k) centre[k] = along * m[1][k] + m[3][k];
    for (size_t i = 0; i < row; ++i) {
      if (!(i < size_t(slices) && sideShown(i)) && !(i > 0 && sideShown(i - 1))) continue;
      // Quadric (x, y, z) is object (x, z, -y) after the turn about X.
      const float nx = around.sines[i], nz = -around.cosines[i];
      for (int k = 0; k < 3; ++k) {
        const float v = nx * m[0][k] + nz * m[2][k];
        *normal++ = v;
        *vertex++ = centre[k] + r * v;
      }
      *texCoord++ = s;
      *texCoord++ = t;
    }
  }
  // Each quad of the strip (low i, high i, high i+1, low i+1) as two triangles.
  for (int j = 0; j < stacks; ++j)
    for (size_t i = 0; i < size_t(slices); ++i) {
      if (!sideShown(i)) continue;
      const uint32_t rowStart = firstVertex + uint32_t(j) * perRow;
      const uint32_t lo = rowStart + place[i], lo1 = rowStart + place[i + 1];
      *index++ = lo, *index++ = lo + perRow, *index++ = lo1 + perRow;
      *index++ = lo, *index++ = lo1 + perRow, *index++ = lo1;
    }
}

void TPipeGroup::DrawBatch(TLookBatch& batch, TRenderContextInfo& rci) {
  const int rows = (batch.pipes + kTintsWide - 1) / kTintsWide;
  int tintsHigh = 1;
  while (tintsHigh < rows) tintsHigh *= 2;
  batch.tints.resize(size_t(kTintsWide) * size_t(tintsHigh), 0xFFFFFFFFu);
  const float perRow = 1.0f / float(tintsHigh);
  for (size_t k = 1; k < batch.sides.texCoords.size(); k += 2) batch.sides.texCoords[k] *= perRow;

  TGLContext* current = GetCurrentRenderingContext();
  TGLTextureHandle& picture = batch.tintPicture;
  if (picture.Handle() != 0 && picture.RenderingContext() != current) picture.FreeName();
  if (picture.Handle() == 0) picture.AllocateName();
  DrawUnderMaterial(*batch.first->Material(), rci, [&] {
    if (GL.glActiveTextureARB) GL.glActiveTextureARB(GL_TEXTURE0_ARB);
    rci.GLStates->EnableState(stTexture2D);
    rci.GLStates->SetBoundTexture(0, GL_TEXTURE_2D, picture.Handle());
    rci.GLStates->ResetTextureMatrix();
    GL.glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    GL.glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, kTintsWide, tintsHigh, 0, GL_RGBA, GL_UNSIGNED_BYTE, batch.tints.data());
    GL.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    GL.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    GL.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    GL.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    GL.glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    batch.sides.Draw(true);
    rci.GLStates->DisableState(stTexture2D);
  });
}
