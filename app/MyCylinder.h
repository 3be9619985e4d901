// A conversation's pipe between two host cubes, with its port label.
#pragma once

#include "Source/Objects/GLGeomObjects.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLBatchArrays.h"
#include "Source/Scene/GLContext.h"
#include "app/InfoLines.h"
#include "app/SnifferObject.h"
#include "rtl/Classes.h"

#include <QPointer>
#include <cstdint>
#include <memory>
#include <string>

class QLabel;
class QPlainTextEdit;

class MyCylinder : public TGLCylinder {
  RTL_CLASS(MyCylinder, TGLCylinder)
 public:
  explicit MyCylinder(TComponent* AOwner);
  ~MyCylinder() override;

  static constexpr int MaxInfoLines = 501;
  static constexpr uint32_t MaxInfoBytes = MaxInfoLines * InfoLineByteBudget;

  // What every packet of the conversation touches, together.
  int64_t LastSeen = 0;
  int64_t ByteTotal = 0;
  int32_t PacketCount = 0;  // packets after the first
  int32_t StallCount = 0;
  TInfoLines InfoLines{MaxInfoLines, MaxInfoBytes};
  QPointer<QPlainTextEdit> InfoMemo;  // set while selected
  std::string SrcPortText, DstPortText;

 private:
  SnifferObject* FSrcObject = nullptr;  // read for every packet too
  SnifferObject* FDstObject = nullptr;

 public:
  double Bps = 0;
  int64_t FirstSeen = 0;
  float TTL = 0;
  QPointer<QLabel> BandwidthLabel;

  // The cubes at the two ends, not owned: cleared when a cube is freed.
  SnifferObject* SrcObject() const { return FSrcObject; }
  SnifferObject* DstObject() const { return FDstObject; }
  void SetEnds(SnifferObject* src, SnifferObject* dst);

  // At most 501 lines (the oldest goes when more than 500 are held, then one
  // is appended) and MaxInfoBytes bytes.
  void AddInfoLine(const TInfoLine& line);
  void AddInfoLine(const std::string& line) { AddInfoLine(TInfoLine(line)); }
  // Starts reading what a packet touches: the turn, the totals, the ports.
  void PrefetchForPacket() const {
    __builtin_prefetch(this, 1);
    __builtin_prefetch(&LastSeen, 1);
    __builtin_prefetch(&SrcPortText);
  }

  void Notification(TComponent* AComponent, TOperation Operation) override;

  // Asks for the label to be drawn with these texts before the pipe is next
  // rendered. A pipe whose ports change on every packet thus draws, lays out
  // and uploads one label per frame, the one of the last ports, not one per packet.
  void SetLabelTexts(const std::string& srcText, const std::string& dstText, float scaleX, float height);
  bool LabelPending() const { return FLabelPending; }
  // The pipe's length changed: its label repeats along the new length
  // (the one asked for too), without being drawn again.
  void SetLabelHeight(float height);
  // Draws the label asked for, if any (the render does this first).
  void DrawPendingLabel();

  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;

  // Whether label texts were asked for (pipes of other traffic have none).
  bool HasLabelTexts() const { return FHasLabel; }
  // Whether the texture holds a drawn label picture.
  bool LabelHeld() const { return FLabelHeld; }
  // Frees the label's picture and texture (a label too small to read); the
  // texts stay, so it is drawn again when asked for.
  void DropLabelPicture();
  // The label's colour from afar, the average of its picture (0x00BBGGRR;
  // white for a pipe without label), worked out once per label texts when
  // `mayDraw`; else the colour known so far.
  uint32_t LabelTint(bool mayDraw);
  bool LabelTintKnown() const { return FTintKnown || !FHasLabel; }
  // Whether the pipe was last drawn from afar (its label unreadable).
  bool FarLabel = true;

  // What the pipe looks like drawn from afar, kept with it so that thousands of pipes are
  // sorted by look a frame without reading each one's material: taken from the material
  // again once the pipe's change stamp moved (a change of its material moves it).
  struct TFarLook {
    TVector4f ambient{}, diffuse{}, specular{}, emission{};
    int shininess = 0;
    uint8_t polygonMode = 0, blending = 0;
    bool plain = false;  // no texture of its own and no library material: may join others
    bool Same(const TFarLook& other) const noexcept;
  };
  const TFarLook& FarLook();
  // Starts reading what the group reads of a pipe drawn from afar, beyond what PrefetchForWalk
  // (called earlier) fetched.
  void PrefetchForFarDraw() const noexcept {
    PrefetchShapeForWalk();
    __builtin_prefetch(&FarLabel);
    __builtin_prefetch(&FFarLook.plain);
  }

 private:
  bool FLabelPending = false;
  bool FHasLabel = false;
  bool FLabelHeld = false;
  bool FTintKnown = false;
  uint32_t FTint = 0xFFFFFF;
  uint64_t FFarLookStamp = 0;  // the change stamp it was taken at
  TFarLook FFarLook;
  uint64_t FLabelWaitingSince = 0;  // for the upload budget
  std::string FLabelSrc, FLabelDst;
  float FLabelScaleX = 0, FLabelHeight = 0;
};

// The dummy cube holding the pipes. In a normal pass, pipes whose labels are
// too small to read (a label tile under FarTilePx pixels on screen, until it
// grows past NearTilePx) are drawn together in one go, each tinted with its
// label's average colour from one small shared picture, and hold no label
// picture of their own; the others are drawn one by one with their labels, as
// are all pipes in other passes (picking).
class TPipeGroup : public TGLDummyCube {
  RTL_CLASS(TPipeGroup, TGLDummyCube)
 public:
  explicit TPipeGroup(TComponent* AOwner);
  ~TPipeGroup() override;

  static constexpr float NearTilePx = 6.0f;
  static constexpr float FarTilePx = 4.0f;
  // Time a frame may spend on working out label colours (new pipes wait).
  static constexpr double TintMsPerFrame = 3.0;
  // Off: every pipe drawn one by one with its label, as before.
  bool DrawFarTogether = true;

  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;
  // Pipes drawn together in the last normal pass, and one by one.
  int DrawnTogether() const { return FDrawnTogether; }
  int DrawnAlone() const { return FDrawnAlone; }
  // On-screen length of one label tile of the pipe (the label repeats every
  // half unit along it) at its point nearest the camera, for a view of
  // `viewPortHeight` pixels whose projection scales Y by `projectionY`.
  static float LabelTilePixels(MyCylinder* pipe, const TVector4f& cameraInGroup, float viewPortHeight,
                               float projectionY);

 private:
  // The pipes of one look drawn from afar: their sides, and one texel a pipe of their tints.
  struct TLookBatch {
    MyCylinder* first = nullptr;  // gives the batch its look (drawn or not)
    int pipes = 0;                // drawn
    // The sides; with `cullBack` (GL culls them under the look's material) only those facing
    // the viewer (its `viewPoint`, in the group's space).
    TGLBatchArrays sides;
    TFillVector<uint32_t> tints;
    TGLTextureHandle tintPicture;
    void Clear();
    void Free();
  };
  // Appends the pipe's sides, `stacks` along its length, with the texel of its tint.
  static void AddSides(TLookBatch& batch, MyCylinder* p, int stacks, uint32_t tint);
  void DrawBatch(TLookBatch& batch, TRenderContextInfo& rci);
  std::vector<std::unique_ptr<TLookBatch>> FLooks;
  int FDrawnTogether = 0, FDrawnAlone = 0;
};

// Background of a pipe label (Windows colour value) for its two port texts.
uint32_t PipeLabelColour(const std::string& srcText, const std::string& dstText);

// The average colour (0x00BBGGRR) of the label picture MakePipeLabel draws
// for these texts: what the label shows when too small to read.
uint32_t PipeLabelTint(const std::string& srcText, const std::string& dstText);

// Label texts longer than this are cut (logged once per run): the longest
// address text; a port or protocol name is shorter.
constexpr size_t MaxPipeLabelText = 15;

// Draws the label (destination above source) onto texture layer 0 of the pipe.
void MakePipeLabel(MyCylinder* pipe, const std::string& srcText, const std::string& dstText, float scaleX,
                   float height);
