// Bounds on stored counts and on the geometry they make.
#include "Source/Scene/GLStoredLimits.h"

#include <string>

#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

void CheckStoredBound(const TComponent& Obj, int Value, int Limit, const char* Property, const char* Unit) {
  if (Value <= Limit || !Obj.ComponentState().Contains(csReading)) return;
  const std::string of = *Property ? std::string(" for ") + Property : std::string();
  throw EReadError(Format("Invalid property value %d%s: at most %d %s", Value, of.c_str(), Limit, Unit));
}

void CheckStoredVertices(const TComponent& Obj, double Vertices) {
  if (Obj.ComponentState().Contains(csReading)) CheckLoadedVertices(Obj, Vertices);
}

void CheckLoadedVertices(const TComponent& Obj, double Vertices) {
  if (!(Vertices > double(kMaxStoredVertices))) return;
  const std::string name = Obj.Name().empty() ? Obj.ClassName() : Obj.ClassName() + " '" + Obj.Name() + "'";
  throw EReadError(
      Format("%s: %.0f vertices, at most %d per stored object", name.c_str(), Vertices, kMaxStoredVertices));
}
