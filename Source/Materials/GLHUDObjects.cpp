// HUD sprites and HUD text: their screen-space matrices and drawing.
#include "Source/Materials/GLHUDObjects.h"

#include "Source/Base/XOpenGL.h"
#include "Source/Materials/GLColor.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLMaterialPasses.h"
#include "Source/Scene/GLState.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

// Screen-space matrices for one HUD object: model-view from the buffer's base projection, scaled to
// pixels with the origin at the top-left corner; projection identity; no depth test. Undone by the
// destructor, also when drawing throws. A type of its own because the sprite and the text both
// set up and undo the same set of matrices and bits.
class THUDSpace {
 public:
  THUDSpace(TRenderContextInfo& rci, TGLBaseSceneObject& obj, float rotation, bool scaleText) {
    const float f = rci.renderDPI == 96 ? 1.0f : float(rci.renderDPI) / 96.0f;
    const float w = float(rci.viewPortWidth), h = float(rci.viewPortHeight);
    const TGLCoordinates& pos = *obj.Position();
    GL.glMatrixMode(GL_MODELVIEW);
    GL.glPushMatrix();
    if (rci.buffer)
      GL.glLoadMatrixf(rci.buffer->BaseProjectionMatrix().data());
    else
      GL.glLoadIdentity();
    GL.glScalef(2.0f / w, 2.0f / h, 1.0f);
    GL.glTranslatef(f * pos.X() - w / 2, h / 2 - f * pos.Y(), pos.Z());
    if (rotation != 0) GL.glRotatef(rotation, 0, 0, 1);
    if (scaleText) GL.glScalef(obj.Scale()->X() * f, obj.Scale()->Y() * f, 1.0f);
    GL.glMatrixMode(GL_PROJECTION);
    GL.glPushMatrix();
    GL.glLoadIdentity();
    GL.glPushAttrib(GL_ENABLE_BIT);
    GL.glDisable(GL_DEPTH_TEST);
  }
  ~THUDSpace() {
    GL.glPopAttrib();
    GL.glPopMatrix();
    GL.glMatrixMode(GL_MODELVIEW);
    GL.glPopMatrix();
  }
  THUDSpace(const THUDSpace&) = delete;
  THUDSpace& operator=(const THUDSpace&) = delete;
};

bool HasViewport(const TRenderContextInfo& rci) { return rci.viewPortWidth > 0 && rci.viewPortHeight > 0; }

}  // namespace

// ---------------------------------------------------------------------------------------------

TGLHUDSprite::TGLHUDSprite(TComponent* AOwner) : TGLSprite(AOwner) {
  objectStyle_ |= osDirectDraw | osNoVisibilityCulling;
  SetWidth(16);
  SetHeight(16);
}

void TGLHUDSprite::Assign(TPersistent* Source) {
  if (auto* other = dynamic_cast<TGLHUDSprite*>(Source)) {
    xTiles_ = other->xTiles_;
    yTiles_ = other->yTiles_;
  }
  inherited::Assign(Source);
}

void TGLHUDSprite::SetXTiles(int Value) {
  if (Value == xTiles_) return;
  xTiles_ = Value;
  MarkStructureChanged();
}

void TGLHUDSprite::SetYTiles(int Value) {
  if (Value == yTiles_) return;
  yTiles_ = Value;
  MarkStructureChanged();
}

void TGLHUDSprite::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  if (rci.ignoreMaterials) return;
  TGLMaterial* material = Material();
  // A pass whose drawing fails takes the material off before the failure goes on.
  DrawUnderMaterial(*material, rci, [&] {
    if (!HasViewport(rci)) return;
    const float f = rci.renderDPI == 96 ? 1.0f : float(rci.renderDPI) / 96.0f;
    if (AlphaChannel() != 1.0f) {
      if (rci.lightingDisabledCounter < 1) {
        rci.GLStates->SetMaterialAlpha(GL_FRONT, AlphaChannel());
      } else {
        const TVector4f& d = material->FrontProperties()->Diffuse()->Color();
        GL.glColor4f(d[0], d[1], d[2], AlphaChannel());
      }
    }
    THUDSpace space(rci, *this, Rotation(), false);
    GL.glDepthMask(GL_FALSE);
    TScopeExit depthWrites([] { GL.glDepthMask(GL_TRUE); });  // before the tear-down, also on failure
    const float x0 = -Width() * f / 2, x1 = x0 + Width() * f;
    const float y1 = Height() * f / 2, y0 = y1 - Height() * f;
    const float xt = float(xTiles_), yt = float(yTiles_);
    GL.glBegin(GL_QUADS);
    const GLfloat normal[3] = {0, 1, 0};
    GL.glNormal3fv(normal);
    MappedTexCoord2f(0, 0);
    GL.glVertex2f(x0, y0);
    MappedTexCoord2f(xt, 0);
    GL.glVertex2f(x1, y0);
    MappedTexCoord2f(xt, yt);
    GL.glVertex2f(x1, y1);
    MappedTexCoord2f(0, yt);
    GL.glVertex2f(x0, y1);
    GL.glEnd();
  });
  if (renderChildren && Count() > 0) RenderChildren(0, Count() - 1, rci);
}

// ---------------------------------------------------------------------------------------------

TGLHUDText::TGLHUDText(TComponent* AOwner)
    : TGLImmaterialSceneObject(AOwner), modulateColor_(std::make_unique<TGLColor>(this, clrWhite)) {
  objectStyle_ |= osDirectDraw | osNoVisibilityCulling;
}

void TGLHUDText::Assign(TPersistent* Source) {
  if (auto* other = dynamic_cast<TGLHUDText*>(Source)) {
    SetBitmapFont(other->BitmapFont());
    SetText(other->text_);
    SetRotation(other->rotation_);
    SetAlignment(other->alignment_);
    SetLayout(other->layout_);
    SetModulateColor(other->modulateColor_.get());
  }
  inherited::Assign(Source);
}

void TGLHUDText::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove) font_.Removed(AComponent);
  inherited::Notification(AComponent, Operation);
}

void TGLHUDText::SetText(const std::string& Value) {
  text_ = Value;
  MarkStructureChanged();
}

void TGLHUDText::SetRotation(float Value) {
  rotation_ = Value;
  MarkStructureChanged();
}

void TGLHUDText::SetAlignment(TAlignment Value) {
  alignment_ = Value;
  MarkStructureChanged();
}

void TGLHUDText::SetLayout(TGLTextLayout Value) {
  layout_ = Value;
  MarkStructureChanged();
}

void TGLHUDText::SetModulateColor(TGLColor* Value) { modulateColor_->Assign(Value); }

void TGLHUDText::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  TGLCustomBitmapFont* font = BitmapFont();
  if (renderSelf && font && !text_.empty() && HasViewport(rci)) {
    rci.GLStates->SetPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    THUDSpace space(rci, *this, rotation_, true);
    font->RenderString(rci, text_, alignment_, layout_, modulateColor_->Color(), nullptr, false);
  }
  if (renderChildren && Count() > 0) RenderChildren(0, Count() - 1, rci);
}

// ---------------------------------------------------------------------------------------------

void RegisterGLHUDObjectsClasses() {
  RegisterClasses({TGLHUDSprite::StaticClass(), TGLHUDText::StaticClass()});
  TPublished<TGLHUDSprite>()
      .Integer("XTiles", &TGLHUDSprite::XTiles, &TGLHUDSprite::SetXTiles, 1)
      .Integer("YTiles", &TGLHUDSprite::YTiles, &TGLHUDSprite::SetYTiles, 1);
  TPublished<TGLHUDText>()
      .Component("BitmapFont", &TGLHUDText::BitmapFont, &TGLHUDText::SetBitmapFont)
      .String("Text", &TGLHUDText::Text, &TGLHUDText::SetText)
      .Float("Rotation", &TGLHUDText::Rotation, &TGLHUDText::SetRotation, 0.0)
      .Enum("Alignment", &TGLHUDText::Alignment, &TGLHUDText::SetAlignment,
            {"taLeftJustify", "taRightJustify", "taCenter"}, taLeftJustify)
      .Enum("Layout", &TGLHUDText::Layout, &TGLHUDText::SetLayout, {"tlTop", "tlCenter", "tlBottom"}, tlTop)
      .Object("ModulateColor", &TGLHUDText::ModulateColor);
}
