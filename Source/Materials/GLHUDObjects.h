// Heads-up-display objects: they live in the scene tree but draw in screen space, their Position
// X and Y being pixels from the viewport's top-left corner, unaffected by the camera and with no
// depth test. A viewport of zero size draws nothing (the scaling would be infinite).
#pragma once

#include "Source/Materials/GLBitmapFont.h"
#include "Source/Objects/GLObjects.h"

// A textured rectangle with tiling.
class TGLHUDSprite : public TGLSprite {
  RTL_CLASS(TGLHUDSprite, TGLSprite)
 public:
  // 16 x 16, drawn directly, never culled.
  explicit TGLHUDSprite(TComponent* AOwner);
  void Assign(TPersistent* Source) override;
  // Nothing (children included) in a pass that ignores materials.
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;

  int XTiles() const noexcept { return xTiles_; }
  void SetXTiles(int Value);
  int YTiles() const noexcept { return yTiles_; }
  void SetYTiles(int Value);

 private:
  int xTiles_ = 1, yTiles_ = 1;
};

// A string drawn with a bitmap font, scaled by Scale X and Y.
class TGLHUDText : public TGLImmaterialSceneObject {
  RTL_CLASS(TGLHUDText, TGLImmaterialSceneObject)
 public:
  explicit TGLHUDText(TComponent* AOwner);
  void Assign(TPersistent* Source) override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;

  TGLCustomBitmapFont* BitmapFont() const noexcept { return font_.Font(); }
  void SetBitmapFont(TGLCustomBitmapFont* Value) { font_.Set(Value); }
  const std::string& Text() const noexcept { return text_; }
  void SetText(const std::string& Value);
  float Rotation() const noexcept { return rotation_; }
  void SetRotation(float Value);
  TAlignment Alignment() const noexcept { return alignment_; }
  void SetAlignment(TAlignment Value);
  TGLTextLayout Layout() const noexcept { return layout_; }
  void SetLayout(TGLTextLayout Value);
  TGLColor* ModulateColor() const noexcept { return modulateColor_.get(); }
  void SetModulateColor(TGLColor* Value);

 private:
  TBitmapFontLink font_{this};
  std::string text_;
  float rotation_ = 0;
  TAlignment alignment_ = taLeftJustify;
  TGLTextLayout layout_ = tlTop;
  std::unique_ptr<TGLColor> modulateColor_;
};

void RegisterGLHUDObjectsClasses();
