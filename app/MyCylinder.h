#pragma once
// A conversation's pipe between two host cubes, with its port label.

#include "Source/GLGeomObjects.h"
#include "rtl/Classes.h"

#include <QPointer>
#include <cstdint>
#include <memory>
#include <string>

class QLabel;
class QPlainTextEdit;
class SnifferObject;

class MyCylinder : public TGLCylinder
{
    RTL_CLASS(MyCylinder, TGLCylinder)
public:
    explicit MyCylinder(TComponent* AOwner);
    ~MyCylinder() override;

    double Bps = 0;
    int64_t FirstSeen = 0, LastSeen = 0;
    float TTL = 0;
    int64_t ByteTotal = 0;
    int32_t PacketCount = 0;
    int32_t StallCount = 0;
    std::string SrcPortText, DstPortText;
    std::unique_ptr<TStringList> InfoLines;
    QPointer<QPlainTextEdit> InfoMemo;
    QPointer<QLabel> BandwidthLabel;

    // The cubes at the two ends, not owned: cleared when a cube is freed.
    SnifferObject* SrcObject() const { return FSrcObject; }
    SnifferObject* DstObject() const { return FDstObject; }
    void SetEnds(SnifferObject* src, SnifferObject* dst);

    // Keeps at most 501 lines: the oldest goes when more than 500 are held, then one is appended.
    void AddInfoLine(const std::string& line);

    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    SnifferObject* FSrcObject = nullptr;
    SnifferObject* FDstObject = nullptr;
};

// Background of a pipe label (Windows colour value) for its two port texts.
uint32_t PipeLabelColour(const std::string& srcText, const std::string& dstText);

// Draws the label (destination above source) onto texture layer 0 of the pipe.
void MakePipeLabel(MyCylinder* pipe, const std::string& srcText, const std::string& dstText,
                   float scaleX, float height);
