// Test aid: reads back a stored copy of a component (written and read as a stored scene
// writes and reads it), so that checks made while reading can be seen. The copy is freed.
#pragma once

#include <memory>

#include "rtl/Classes.h"
#include "rtl/Streaming.h"

inline void ReadStoredCopy(TComponent* source) {
  TMemoryStream stream;
  TWriter(&stream).WriteRootComponent(source);
  stream.SetPosition(0);
  std::unique_ptr<TComponent>(TReader(&stream).ReadRootComponent(nullptr));
}
