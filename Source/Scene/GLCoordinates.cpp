// Coordinates of scene nodes: setters with owner notification, and the stored 16-byte form.
#include "Source/Scene/GLCoordinates.h"

#include <cstring>

#include "Source/Base/VectorGeometry.h"
#include "rtl/Streaming.h"

static_assert(sizeof(TVector4f) == 16, "the stored form is 16 raw bytes");

TGLCoordinates::TGLCoordinates(TPersistent* AOwner) : TGLUpdateAbleObject(AOwner) {}

TGLCoordinates::TGLCoordinates(TPersistent* AOwner, const TVector4f& AValue, TGLCoordinatesStyle AStyle)
    : TGLUpdateAbleObject(AOwner), coords_(AValue), style_(AStyle) {}

void TGLCoordinates::NotifyChange(TObject* Sender) {
  TPersistent* owner = Owner();
  if (owner && owner->Is<TGLCoordinatesUpdateAbleComponent>())
    static_cast<TGLCoordinatesUpdateAbleComponent*>(owner)->CoordinateChanged(this);
  else
    inherited::NotifyChange(Sender);
}

void TGLCoordinates::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLCoordinates>())
    coords_ = static_cast<TGLCoordinates*>(Source)->coords_;
  else
    inherited::Assign(Source);
}

void TGLCoordinates::DefineProperties(TFiler* Filer) {
  inherited::DefineProperties(Filer);
  Filer->DefineBinaryProperty(
      "Coordinates",
      [this](TStream* s) {
        TVector4f v;  // a short value raises and leaves the coordinates as they were
        s->ReadBuffer(v.V, sizeof v);
        coords_ = v;
      },
      [this](TStream* s) { s->WriteBuffer(coords_.V, sizeof coords_); }, true);
}

void TGLCoordinates::WriteToFiler(TWriter* Writer) {
  Writer->WriteInteger(0);  // archive version
  Writer->WriteBoolean(true);
  Writer->Write(coords_.V, sizeof coords_);
}

void TGLCoordinates::ReadFromFiler(TReader* Reader) {
  Reader->ReadInteger();  // any version is accepted
  if (Reader->ReadBoolean()) {
    // Read into a copy so that a short stream leaves the value untouched.
    TVector4f v;
    Reader->Read(v.V, sizeof v);
    coords_ = v;
  }
}

void TGLCoordinates::SetIndexedComponent(int index, float value) {
  RTL_ASSERT(index >= 0 && index < 4);
  coords_[index] = value;
  NotifyChange(this);
}

void TGLCoordinates::AssignVector(const TVector4f& v) {
  coords_ = v;
  if (style_ == csPoint)
    coords_[3] = 1;
  else if (style_ == csVector)
    coords_[3] = 0;
  NotifyChange(this);
}

void TGLCoordinates::AssignAffineVector(const TAffineVector& v) {
  coords_ = {v[0], v[1], v[2], style_ == csPoint ? 1.0f : 0.0f};
  NotifyChange(this);
}

void TGLCoordinates::SetXYZAsPoint(float x, float y, float z) {
  RTL_ASSERT(style_ != csVector);
  coords_ = {x, y, z, 1};
  NotifyChange(this);
}

void TGLCoordinates::SetXYZAsVector(float x, float y, float z) {
  RTL_ASSERT(style_ != csPoint);
  coords_ = {x, y, z, 0};
  NotifyChange(this);
}

void TGLCoordinates::SetXYZW(float x, float y, float z, float w) {
  RTL_ASSERT(style_ != csPoint);
  coords_ = {x, y, z, w};
  NotifyChange(this);
}

void TGLCoordinates::AddVectorTimesFactor(const TVector4f& v, float f) {
  VectorCombineInPlace(coords_, v, f);
  NotifyChange(this);
}

void TGLCoordinates::RotateAboutAxis(const TAffineVector& axis, float angle) {
  coords_ = VectorRotateAroundAxis(coords_, axis, angle);
  NotifyChange(this);
}

void TGLCoordinates::NormalizeXYZ() {
  VectorNormalize(coords_);
  NotifyChange(this);
}

void TGLCoordinates::ScaleXYZ(float f) {
  for (int i = 0; i < 3; ++i) coords_[i] *= f;
  NotifyChange(this);
}

float TGLCoordinates::LengthXYZ() const { return VectorXYZLength(coords_); }

bool TGLCoordinates::EqualsVector(const TVector4f& v) const { return VectorEquals(coords_, v); }

void RegisterGLCoordinatesClasses() {
  RegisterClasses({TGLCoordinates::StaticClass(), TGLCoordinates4::StaticClass()});
  // X, Y, Z (and W) are readable by name but never written: "Coordinates" carries the value.
  auto never = [](TGLCoordinates*) { return false; };
  TPublished<TGLCoordinates>()
      .Float("X", &TGLCoordinates::X, &TGLCoordinates::SetX)
      .StoredIf(never)
      .Float("Y", &TGLCoordinates::Y, &TGLCoordinates::SetY)
      .StoredIf(never)
      .Float("Z", &TGLCoordinates::Z, &TGLCoordinates::SetZ)
      .StoredIf(never);
  TPublished<TGLCoordinates4>().Float("W", &TGLCoordinates::W, &TGLCoordinates::SetW).StoredIf(never);
}
