// Conversation pipes: linking the two end cubes, info lines, the port label and its colour, and
// drawing.
#include "app/MyCylinder.h"

#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLTexture.h"

#include <memory>
#include "Source/Scene/GLRenderContextInfo.h"
#include "Source/Scene/GLUploadBudget.h"
#include "app/SnifferObject.h"
#include "app/Unit_Globals.h"
#include "platform/Graphics.h"
#include "rtl/SysUtils.h"

#include <QPlainTextEdit>
#include <algorithm>
#include <atomic>

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
}

void MyCylinder::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  // Under an upload budget the label is drawn and uploaded at once when its
  // turn comes, else it waits (the pipe shows its previous label meanwhile).
  if (renderSelf && FLabelPending && (!rci.uploadBudget || rci.uploadBudget->Admit(FLabelWaitingSince))) {
    TGLUploadTimer timer(rci.uploadBudget);
    DrawPendingLabel();
    TGLTextureEx* ex = Material()->TextureEx();
    if (rci.uploadBudget && ex->Count() > 0 && ex->Items(0)->Texture()->Enabled())
      ex->Items(0)->Texture()->GetTextureHandle();
  }
  TGLCylinder::DoRender(rci, renderSelf, renderChildren);
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
