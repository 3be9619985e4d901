// Where the user's files live: the settings, the profiles with their saved
// places, the lists, the computer names, the logs and the label pictures. They
// are kept apart from the program's folder (which a build makes and a clean
// rebuild deletes), in a folder of the user's, seeded from the program's
// folder at first start.
#pragma once

#include <string>
#include <vector>

// The folder named by the environment variable TAMRIVEL_HOME, else
// $XDG_DATA_HOME/tamrivel, else $HOME/.local/share/tamrivel; "" when none can
// be named (no HOME).
std::string UserFilesFolder();

// Copies into the folder `to` each of the program's files (the settings,
// profiles, computer names and list files, and every file of "Images") that
// the folder `from` has and `to` lacks; a file already in `to` (a link too,
// even one that leads nowhere) stays as it is, whatever its time or size.
// Names are matched without regard to case, as the program finds them.
// Returns the names copied ("Images/Selected.bmp"); each copy that failed
// goes to `failed` as "<name>: <reason>".
std::vector<std::string> CopyMissingFiles(const std::string& from, const std::string& to,
                                          std::vector<std::string>& failed);

// The build folder that holds `folder` (the nearest folder at or above it
// with a "CMakeCache.txt"), or "" when it lies in none.
std::string BuildFolderOf(const std::string& folder);

// At program start, before any file is read: makes the user's folder (a
// relative name is taken from the current folder), adds the files of the
// program's folder it lacks, and makes it the folder every file is read from
// and written to (ProgramDir). Without a usable folder the program's own
// folder stays. Returns the lines for the event log; `notice` gets what the
// main window must tell the user, "" when all is well: the files are kept in
// the program's folder (and why), or in a folder inside a build folder, which
// a clean rebuild deletes.
std::vector<std::string> UseUserFilesFolder(std::string& notice);
