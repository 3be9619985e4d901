// Saving a file so that a failed save never loses the file that was there: the one way in which
// the program and the engine write whole files (ini files, lists and logs, pictures, the engine's
// data files).
//
// - A name that is a symbolic link (or a chain of them) saves to the file at its end, which a link
//   to nothing yet creates; the links stay. A circle of links raises EFCreateError (ELOOP).
// - The data goes to a new file beside that one ("<name>.partial<pid>-<n>"), written through the
//   handle that made it, with the old file's owner and mode from the start; it replaces the old
//   file only once it is whole and on the disk. A writer that raises, a full disk or a failing
//   disk leave the old file as it was. What a save killed midway left beside the file (its
//   process gone) is removed by the next save that replaces the file, and by this process's
//   first save into its folder.
// - Where no file can replace it is an existing file written in place, and then only once the
//   room for the whole new data is reserved in it; when it cannot be, the save is refused and the
//   file stays as it was. No file can replace it when the saver may not give a new file the old
//   one's owner (another user's file in a shared folder: it is never taken over; writing it in
//   place needs the right to write it), or no new file can be made in its folder (no write
//   access, no inodes left, a name too long), or the folder refuses the rename.
// - A pipe, a socket or a device is refused: a save there could report success for data nobody
//   received (a pipe without a reader), or block for good.
// - Failures raise EFCreateError "Cannot create file \"<name>\". <reason>" (the file, or the one
//   beside it, could not be made, or the name is no file) or EWriteError
//   "Cannot write file \"<name>\". <reason>" (the data could not be written whole); <name> is the
//   name given, never the file beside it. The writer's own exceptions pass unchanged.
// Thread safety: saves of different files, or of one file from several threads or processes, do
// not disturb each other (each uses a file of its own beside the target); the last rename wins.
#pragma once

#include "rtl/Classes.h"

#include <functional>
#include <string>
#include <string_view>

// Saves `FileName` with what Write puts into the stream it is handed (a TFileStream, or a
// TMemoryStream when the file is written in place). `ShownName`, when given, is the name the
// messages use (the name as the user spelled it).
void SaveFile(const std::string& FileName, const std::function<void(TStream*)>& Write,
              const std::string& ShownName = {});
// Saves `FileName` with the bytes.
void SaveFileBytes(const std::string& FileName, std::string_view Bytes, const std::string& ShownName = {});
