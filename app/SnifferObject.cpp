#include "app/SnifferObject.h"

#include "app/Unit_Globals.h"

#include <QPlainTextEdit>

SnifferObject::SnifferObject(TComponent* AOwner)
    : TGLCube(AOwner), InfoLines(std::make_unique<TInfoLines>())
{
}

SnifferObject::~SnifferObject() = default;

void SnifferObject::AddInfoLine(const std::string& line)
{
    InfoLines->Add(line);
    if (InfoLines->Count() > 1000)
        InfoLines->DeleteFirst();
    if (InfoMemo)
        InfoMemo->appendPlainText(BytesToQ(line));
}
