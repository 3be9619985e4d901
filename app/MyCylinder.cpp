#include "app/MyCylinder.h"

#include "Source/GLMaterial.h"
#include "Source/GLTexture.h"
#include "app/SnifferObject.h"
#include "platform/Graphics.h"
#include "rtl/SysUtils.h"

#include <QPlainTextEdit>
#include <algorithm>

MyCylinder::MyCylinder(TComponent* AOwner)
    : TGLCylinder(AOwner), InfoLines(std::make_unique<TStringList>())
{
}

MyCylinder::~MyCylinder()
{
    SetEnds(nullptr, nullptr);
}

void MyCylinder::SetEnds(SnifferObject* src, SnifferObject* dst)
{
    for (SnifferObject* old : {FSrcObject, FDstObject})
        if (old && old != src && old != dst)
            old->RemoveFreeNotification(this);
    FSrcObject = src;
    FDstObject = dst;
    if (src) src->FreeNotification(this);
    if (dst) dst->FreeNotification(this);
}

void MyCylinder::Notification(TComponent* AComponent, TOperation Operation)
{
    if (Operation == opRemove)
    {
        if (AComponent == FSrcObject) FSrcObject = nullptr;
        if (AComponent == FDstObject) FDstObject = nullptr;
    }
    TGLCylinder::Notification(AComponent, Operation);
}

void MyCylinder::AddInfoLine(const std::string& line)
{
    if (InfoLines->Count() > 500)
        InfoLines->Delete(0);
    InfoLines->Add(line);
    if (InfoMemo)
        InfoMemo->appendPlainText(QString::fromStdString(line));
}

uint32_t PipeLabelColour(const std::string& srcText, const std::string& dstText)
{
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

void MakePipeLabel(MyCylinder* pipe, const std::string& srcText, const std::string& dstText,
                   float scaleX, float height)
{
    TBitmap bmp(1, 1, pf24bit);
    TCanvas& c = bmp.Canvas();
    c.Font().SetName("TaHoma");
    c.Font().SetColor(0xFFFFFF);
    c.Font().SetSize(21);
    c.Pen().SetColor(0x0000FF);
    c.Brush().SetColor(static_cast<TColor>(PipeLabelColour(srcText, dstText)));
    const int w = std::max(c.TextWidth(srcText) + 10, c.TextWidth(dstText) + 10);
    const int h1 = c.TextHeight(srcText) + 2;
    const int h2 = c.TextHeight(dstText) + 2;
    const int h = 2 * std::max(h1, h2);
    bmp.SetSize(w + 1, h + 1);
    TCanvas& cv = bmp.Canvas();
    cv.Rectangle(1, 1, w, h);
    cv.TextOut(4, 2, dstText);
    cv.TextOut(4, h1, srcText);

    TGLTextureEx* ex = pipe->Material()->TextureEx();
    if (ex->Count() == 0)
        ex->Add();
    TGLTexture* tex = ex->Items(0)->Texture();
    tex->Image()->Assign(&bmp);
    tex->SetDisabled(false);
    tex->SetTextureMode(tmModulate);
    TGLCoordinates* scale = ex->Items(0)->TextureScale();
    scale->SetX(scaleX);
    scale->SetY(2 * height);
    scale->SetZ(20.0f);
}
