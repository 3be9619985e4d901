// A host's cube in the traffic scene: one address, a /24 block or a profile's
// whole range, with its packet info lines and traffic totals.
#pragma once

#include "Source/Objects/GLObjects.h"
#include "app/InfoLines.h"
#include "rtl/Classes.h"

#include <QPointer>
#include <cstdint>
#include <memory>
#include <string>

class QLabel;
class QPlainTextEdit;
class TCubeCache;

// Bytes an info line may take on average before a busy object keeps fewer
// lines than its count bound: a packet line of ordinary fields is about 110.
constexpr uint32_t InfoLineByteBudget = 160;

class SnifferObject : public TGLCube {
  RTL_CLASS(SnifferObject, TGLCube)
 public:
  explicit SnifferObject(TComponent* AOwner);
  ~SnifferObject() override;

  static constexpr int MaxInfoLines = 1000;
  static constexpr uint32_t MaxInfoBytes = MaxInfoLines * InfoLineByteBudget;

  // What every packet of the host touches, together.
  int64_t LastSeen = 0;
  int64_t ByteTotal = 0;
  uint32_t IPNumber = 0;
  TCubeCache* Cache = nullptr;  // the index of the traffic scene that may hold this cube
  TInfoLines InfoLines{MaxInfoLines, MaxInfoBytes};
  QPointer<QPlainTextEdit> InfoMemo;  // set while selected
  std::string LastEtherType, LastProtocol, LastSuffix;

  std::string IP;
  std::string ObjName;
  uint32_t IPmin = 0, IPmax = 0;
  std::string ProfileName;
  std::string Texture;
  std::string NetType;
  QPointer<QLabel> BandwidthLabel;  // set while selected
  float Spread = 0;
  double Bps = 0;
  int64_t FirstSeen = 0;
  float TTL = 0;

  // Appends an info line (also to the memo while selected), keeping at most
  // MaxInfoLines lines and MaxInfoBytes bytes.
  void AddInfoLine(const TInfoLine& line);
  void AddInfoLine(const std::string& line) { AddInfoLine(TInfoLine(line)); }
  // Starts reading what a packet touches.
  void PrefetchForPacket() const {
    __builtin_prefetch(&LastSeen, 1);
    __builtin_prefetch(&LastEtherType, 1);
  }
};

// Appends an info line to a memo, each byte as the character of the same code (as BytesToQ).
void AppendInfoLine(QPlainTextEdit* memo, const TInfoLine& line);
