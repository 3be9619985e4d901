// Bounds on what a stored scene may ask of the objects read from it. Counts and sizes come from
// files of any origin: each is bounded when read, and so is the geometry their product makes, so
// that a file of a few kilobytes cannot ask for gigabytes or for frames of minutes. Values set in
// code are not bounded. Every object of the engine that reads counts checks them here.
#pragma once

#include <cstdint>

#include "rtl/Classes.h"

// Raises EReadError "Invalid property value <Value>[ for <Property>]: at most <Limit> <Unit>"
// while Obj is being read and Value is above Limit (Property may be empty).
void CheckStoredBound(const TComponent& Obj, int Value, int Limit, const char* Property, const char* Unit);

// Subdivision counts (slices, stacks, loops, rings, sides, tiles, divisions) read from a stored
// scene are at most this many, so that a damaged value cannot make one BuildList run for minutes.
inline constexpr int kMaxStoredSubdivisions = 1024;
// Raises EReadError while Obj is being read and Value is above kMaxStoredSubdivisions.
inline void CheckStoredSubdivisions(const TComponent& Obj, int Value) {
  CheckStoredBound(Obj, Value, kMaxStoredSubdivisions, "", "subdivisions");
}

// Vertices one object read from a stored scene may draw: its counts multiplied (and summed over
// its bands, stars, nodes, tiles or particles), as its lists hold them or as a per-frame draw
// sends them. The counts are bounded one by one above, but their product would reach gigabytes
// of display lists from a file of a few kilobytes. 2^22 takes a height field of 1,448 x 1,448
// samples and a sphere of 1,024 x 1,024 (about 230 MB of display list at the most).
inline constexpr std::int64_t kMaxStoredVertices = 4'194'304;
// Raises EReadError "<class> '<name>': <n> vertices, at most <kMaxStoredVertices> per stored
// object" (without the quoted part for an unnamed object) while Obj is being read and Vertices
// (from the counts read so far) is above the limit. Objects check from each count setter,
// before the count is taken, and build nothing until drawn.
void CheckStoredVertices(const TComponent& Obj, double Vertices);
// The same check whatever Obj's state, for Loaded() (called only once Obj was read, after the
// reading flag is cleared), where objects whose counts may come in any order check them together.
void CheckLoadedVertices(const TComponent& Obj, double Vertices);
// Vertices of Strips strips of PerStrip quads each (two vertices a step plus the closing pair),
// as triangle and quad strips and the GLU quadrics draw them.
constexpr double StripVertices(double Strips, double PerStrip) noexcept { return Strips * 2 * (PerStrip + 1); }
