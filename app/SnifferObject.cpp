#include "app/SnifferObject.h"

#include <QPlainTextEdit>

SnifferObject::SnifferObject(TComponent* AOwner)
    : TGLCube(AOwner), InfoLines(std::make_unique<TStringList>())
{
}

SnifferObject::~SnifferObject() = default;

void SnifferObject::AddInfoLine(const std::string& line)
{
    InfoLines->Add(line);
    if (InfoLines->Count() > 1000)
        InfoLines->Delete(0);
    if (InfoMemo)
        InfoMemo->appendPlainText(QString::fromStdString(line));
}
