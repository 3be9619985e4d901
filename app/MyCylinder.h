// A conversation's pipe between two host cubes, with its port label.
#pragma once

#include "Source/Objects/GLGeomObjects.h"
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

 private:
  bool FLabelPending = false;
  uint64_t FLabelWaitingSince = 0;  // for the upload budget
  std::string FLabelSrc, FLabelDst;
  float FLabelScaleX = 0, FLabelHeight = 0;
};

// Background of a pipe label (Windows colour value) for its two port texts.
uint32_t PipeLabelColour(const std::string& srcText, const std::string& dstText);

// Label texts longer than this are cut (logged once per run): the longest
// address text; a port or protocol name is shorter.
constexpr size_t MaxPipeLabelText = 15;

// Draws the label (destination above source) onto texture layer 0 of the pipe.
void MakePipeLabel(MyCylinder* pipe, const std::string& srcText, const std::string& dstText, float scaleX,
                   float height);
