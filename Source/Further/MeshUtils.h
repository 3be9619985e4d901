// Triangle-strip to triangle-list conversion for the mesh objects.
#pragma once

#include "Source/Base/VectorLists.h"

// Appends the triangles of the strip Strip (n points) to List: for i = 0 .. n - 3, even i gives
// (p[i], p[i+1], p[i+2]) and odd i (p[i+2], p[i+1], p[i]), so every triangle keeps the strip's
// winding. Fewer than 3 points append nothing.
void ConvertStripToList(const TAffineVectorList* Strip, TAffineVectorList* List);
// The same with p[k] = Points[Indices[k]]; an index outside Points is an assertion failure.
void ConvertIndexedStripToList(const TAffineVectorList* Points, const TIntegerList* Indices, TAffineVectorList* List);
