// Host cubes: construction and their packet info lines.
#include "app/SnifferObject.h"

#include "app/TrafficScene.h"
#include "app/Unit_Globals.h"

#include <QPlainTextEdit>

// Cubes of one face picture (most are) draw as a few batches, not one draw each.
SnifferObject::SnifferObject(TComponent* AOwner) : TGLCube(AOwner) { SetDrawnInBatches(true); }

SnifferObject::~SnifferObject() {
  if (Cache) Cache->Forget(this);
}

void SnifferObject::AddInfoLine(const TInfoLine& line) {
  InfoLines.Add(line);
  if (InfoMemo) AppendInfoLine(InfoMemo, line);
}

void AppendInfoLine(QPlainTextEdit* memo, const TInfoLine& line) { memo->appendPlainText(BytesToQ(line.View())); }
