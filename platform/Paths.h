// Program folder and file-name helpers. File names written with "\" (as stored
// texts and settings spell them) are turned into native "/" paths, and names
// whose case differs from the file on disk ("Images" / "images") are found.
// All functions are thread-safe.
#pragma once

#include "rtl/SysUtils.h"

#include <string>

// Folder of the running executable, with a trailing "/".
std::string ProgramFolder();

// Replaces the program folder (tests point it at a scratch folder); an empty
// text restores the executable's folder. A trailing "/" is added when missing.
void SetProgramFolder(const std::string& folder);

// "\" becomes "/", and runs of "/" collapse to one.
std::string ToNativePath(const std::string& path);

// The native form of path; when a component does not exist as spelled, the
// first entry of its folder (in name order) that matches it without regard to
// ASCII case is taken instead. When nothing matches, the remaining components
// stay as given, so opening the result fails in the ordinary way.
std::string FindFileCaseInsensitive(const std::string& path);

// True when the path, found as by FindFileCaseInsensitive, is an existing
// file that is not a folder (rtl's FileExists takes the name as spelled).
bool FileExistsAnyCase(const std::string& path);

// The file-name helpers (ExtractFilePath, ExtractFileName, ExtractFileExt,
// ChangeFileExt, IncludeTrailingPathDelimiter, FileExists, DirectoryExists)
// are those of rtl/SysUtils.h; they take native "/" paths.
