// Message texts shared by several engine units.
#pragma once

inline constexpr const char* glsOpenGL11Required = "Need at least OpenGL version 1.1";
inline constexpr const char* glsAlreadyRendering = "Already rendering";
inline constexpr const char* glsInterleaveNotSupported = "Interleaved Array format not supported yet. Sorry.";
// Format argument: the file name.
inline constexpr const char* glsFailedOpenFile = "Could not open file: %s";
inline constexpr const char* glsUnBalancedBeginEndUpdate = "Unbalanced Begin/EndUpdate";
// Format arguments: the extension, twice.
inline constexpr const char* glsUnknownExtension =
    "Unknown file extension (%s), maybe you forgot to add the support unit to your uses? (%s?)";
