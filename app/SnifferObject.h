#pragma once
// A host's cube in the traffic scene: one address, a /24 block or a profile's
// whole range, with its packet info lines and traffic totals.

#include "Source/Objects/GLObjects.h"
#include "app/InfoLines.h"
#include "rtl/Classes.h"

#include <QPointer>
#include <cstdint>
#include <memory>
#include <string>

class QLabel;
class QPlainTextEdit;

class SnifferObject : public TGLCube
{
    RTL_CLASS(SnifferObject, TGLCube)
public:
    explicit SnifferObject(TComponent* AOwner);
    ~SnifferObject() override;

    std::string IP;
    std::string ObjName;
    uint32_t IPmin = 0, IPmax = 0;
    std::string ProfileName;
    uint32_t IPNumber = 0;
    std::string Texture;
    std::string NetType;
    std::string LastEtherType, LastProtocol, LastSuffix;
    std::unique_ptr<TInfoLines> InfoLines;
    QPointer<QPlainTextEdit> InfoMemo;     // set while selected
    QPointer<QLabel> BandwidthLabel;       // set while selected
    float Spread = 0;
    double Bps = 0;
    int64_t FirstSeen = 0, LastSeen = 0;
    float TTL = 0;
    int64_t ByteTotal = 0;

    // Appends an info line (also to the memo while selected), keeping at most 1000.
    void AddInfoLine(const std::string& line);
};
