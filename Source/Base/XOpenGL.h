// Texture-coordinate mapping: drawing code sends texture coordinates, texture
// generation and texturing enables through the fifteen Mapped* procedures, and
// the mapping mode decides which texture units receive them (none, unit 0,
// unit 1, units 0 and 1, or a list of units). Materials switch the mode while
// they are applied; a bracket (Begin/EndMapTexCoordUpdate) defers the switches
// so that only the final mode takes effect.
//
// Module state without locks: only the thread that owns the current context
// may call these. All GL calls go through the entry-point table. After a
// client-state call the client active unit is unit 0 again, and after a
// server-side call the active unit is unit 0 again.
#pragma once

#include <vector>

#include "Source/Base/OpenGL1x.h"

enum TMapTexCoordMode { mtcmUndefined, mtcmNull, mtcmMain, mtcmDual, mtcmSecond, mtcmArbitrary };

// The mapped procedures (start: the Null set, which consumes its arguments).
extern void (*MappedTexCoord2f)(GLfloat s, GLfloat t);
extern void (*MappedTexCoord2fv)(const GLfloat* v);
extern void (*MappedTexCoord3f)(GLfloat s, GLfloat t, GLfloat r);
extern void (*MappedTexCoord3fv)(const GLfloat* v);
extern void (*MappedTexCoord4f)(GLfloat s, GLfloat t, GLfloat r, GLfloat q);
extern void (*MappedTexCoord4fv)(const GLfloat* v);
extern void (*MappedTexGenf)(GLenum coord, GLenum pname, GLfloat param);
extern void (*MappedTexGenfv)(GLenum coord, GLenum pname, const GLfloat* params);
extern void (*MappedTexGeni)(GLenum coord, GLenum pname, GLint param);
extern void (*MappedTexGeniv)(GLenum coord, GLenum pname, const GLint* params);
extern void (*MappedTexCoordPointer)(GLint size, GLenum type, GLsizei stride, const GLvoid* pointer);
extern void (*MappedEnableClientState)(GLenum array);
extern void (*MappedDisableClientState)(GLenum array);
extern void (*MappedEnable)(GLenum cap);
extern void (*MappedDisable)(GLenum cap);

// The current mode (outside a bracket, the one the procedures follow).
TMapTexCoordMode MapTexCoordMode();

// Mode setters. Inside a bracket they only record the pending mode; outside
// they switch when the mode differs. Dual, Second and Arbitrary need the
// "GL_ARB_multitexture" flag when they switch (assertion failure otherwise).
void SetMapTexCoordModeNull();
void SetMapTexCoordModeMain();
void SetMapTexCoordModeDual();    // Main while the second unit is suppressed
void SetMapTexCoordModeSecond();  // Null while the second unit is suppressed
// units are GL_TEXTURE0_ARB + n; stored at once, even inside a bracket
// (without GL_TEXTURE1_ARB while the second unit is suppressed).
void SetMapTexCoordModeArbitrary(const std::vector<GLenum>& units);

// Arbitrary mode over GL_TEXTURE0_ARB + n for each set bit n of bits 0..7.
void MapTexCoordUnitsFromMask(unsigned mask);
void AddMapTexCoordUnits(unsigned mask);
// Units fed by the mode (the pending one inside a bracket): Main 1, Second 2,
// Dual 3, Arbitrary its units. Null or Undefined: assertion failure.
unsigned GetMapTexCoordUnitMask();

// Brackets nest; the outermost End applies the pending mode. An End without a
// Begin is an assertion failure.
void BeginMapTexCoordUpdate();
void EndMapTexCoordUpdate();

void SuppressSecondTexCoordUnit();
void RestoreSecondTexCoordUnit();
