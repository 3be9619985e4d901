// Coordinates: a position, direction or scale value owned by a scene node. Every setter but
// StoreVector and Assign notifies the owner; a coordinates-update-able owner is told through
// CoordinateChanged only.
#pragma once

#include <cstdint>

#include "Source/Base/VectorTypes.h"
#include "Source/Scene/GLMisc.h"

enum TGLCoordinatesStyle : uint8_t { csPoint, csVector, csFree };

class TGLCoordinates : public TGLUpdateAbleObject {
  RTL_CLASS(TGLCoordinates, TGLUpdateAbleObject)
 public:
  // Value (0, 0, 0, 0), style csPoint (the first style, as for any unset field).
  explicit TGLCoordinates(TPersistent* AOwner);
  // CreateWithValue: the value is stored without notification.
  TGLCoordinates(TPersistent* AOwner, const TVector4f& AValue, TGLCoordinatesStyle AStyle);

  void NotifyChange(TObject* Sender) override;
  // From another TGLCoordinates: the four singles, without notification.
  void Assign(TPersistent* Source) override;
  // The binary property "Coordinates": the 16 raw bytes of x, y, z, w, always stored.
  void DefineProperties(TFiler* Filer) override;
  // The form used inside behaviour archives: integer 0, true, then the 16 raw bytes.
  void WriteToFiler(TWriter* Writer);
  void ReadFromFiler(TReader* Reader);

  float X() const noexcept { return coords_[0]; }
  float Y() const noexcept { return coords_[1]; }
  float Z() const noexcept { return coords_[2]; }
  float W() const noexcept { return coords_[3]; }
  void SetX(float v) { SetIndexedComponent(0, v); }
  void SetY(float v) { SetIndexedComponent(1, v); }
  void SetZ(float v) { SetIndexedComponent(2, v); }
  void SetW(float v) { SetIndexedComponent(3, v); }
  float GetIndexedComponent(int index) const { return coords_[index]; }
  void SetIndexedComponent(int index, float value);

  TGLCoordinatesStyle Style() const noexcept { return style_; }
  void SetStyle(TGLCoordinatesStyle value) noexcept { style_ = value; }
  const TVector4f& AsVector() const noexcept { return coords_; }
  TAffineVector AsAffineVector() const noexcept { return ReadAffineVector(); }

  // Notifying setters.
  // Copies v, then w := 1 for csPoint, 0 for csVector, kept for csFree.
  void AssignVector(const TVector4f& v);
  // w := 1 for csPoint, else 0.
  void AssignAffineVector(const TAffineVector& v);
  // (x, y, z, 1); not allowed for csVector (assertion failure).
  void SetXYZAsPoint(float x, float y, float z);
  // (x, y, z, 0); not allowed for csPoint (assertion failure).
  void SetXYZAsVector(float x, float y, float z);
  // Not allowed for csPoint (assertion failure).
  void SetXYZW(float x, float y, float z, float w);
  // All four components += v * f.
  void AddVectorTimesFactor(const TVector4f& v, float f);
  // Rotation about the axis by the angle in radians.
  void RotateAboutAxis(const TAffineVector& axis, float angle);
  // x, y, z normalised, w := 0.
  void NormalizeXYZ();
  // x, y, z times f, w unchanged.
  void ScaleXYZ(float f);

  // Silent access.
  void StoreVector(const TVector4f& v) noexcept { coords_ = v; }
  TAffineVector ReadAffineVector() const noexcept { return {coords_[0], coords_[1], coords_[2]}; }
  float LengthXYZ() const;
  // Bit for bit over four components.
  bool EqualsVector(const TVector4f& v) const;
  // For scene code that writes the four singles directly, then calls NotifyChange itself.
  float* GetCoordinatesAddress() noexcept { return coords_.V; }

 private:
  TVector4f coords_{};
  TGLCoordinatesStyle style_ = csPoint;
};

// Coordinates that also publish W.
class TGLCoordinates4 : public TGLCoordinates {
  RTL_CLASS(TGLCoordinates4, TGLCoordinates)
 public:
  using TGLCoordinates::TGLCoordinates;
};

// Registers the classes and published properties of this unit.
void RegisterGLCoordinatesClasses();
