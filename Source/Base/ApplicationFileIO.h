// The one way in which the engine opens files, and the base of file format objects.
//
// Paths: "\" is taken as a folder separator, and a name whose folders or file differ only in
// letter case from an existing file finds that file (stored paths use mixed spellings).
#pragma once

#include "rtl/Classes.h"

#include <functional>
#include <memory>
#include <string>

// The run-time's fmCreate; the older spelling 0xFFFF is accepted too.
constexpr unsigned fmCreateLegacy = 0xFFFF;

// Opens a file stream. For any mode but fmCreate a missing file raises Exception
// "File not found: \"<name>\""; other failures raise the file stream's EFOpenError/EFCreateError.
std::unique_ptr<TStream> CreateFileStream(const std::string& FileName, unsigned Mode = fmOpenRead | fmShareDenyNone);
// Whether the file exists.
bool FileStreamExists(const std::string& FileName);
// Always false: no application-level replacement of the two operations above.
bool ApplicationFileIOAvailable();
// Creates (or replaces) the file with what Write puts into the stream it is handed, through
// SaveFile (platform/FileSave.h) after the name is found as above: a failed save (a format that
// cannot export, a broken archive, a full disk) leaves an existing file as it was; a link saves to
// the file it names and stays; the mode is kept; in place only where no file can replace it, and
// only with the room reserved; a pipe or device is refused. Failures name the file and the reason.
void WriteFileStream(const std::string& FileName, const std::function<void(TStream*)>& Write);

// The capabilities a file format supports.
enum TDataFileCapability { dfcRead, dfcWrite };
using TDataFileCapabilities = TSet<TDataFileCapability>;

// Abstract base of file format objects (mesh files, sound files).
class TDataFile : public TPersistent {
  RTL_CLASS(TDataFile, TPersistent)
 public:
  using OwnerType = TPersistent;
  explicit TDataFile(TPersistent* AOwner) : owner_(AOwner) {}

  virtual TDataFileCapabilities Capabilities() const { return {dfcRead}; }
  TPersistent* GetOwner() override { return owner_; }
  // A new, empty instance of this object's class with the given owner.
  TDataFile* CreateOfSameClass(TPersistent* AOwner) const;

  // Opens the file (read, deny none), loads it, frees the stream. ResourceName is set once the
  // file is open, so a missing file leaves the object as it was.
  virtual void LoadFromFile(const std::string& FileName);
  // Through WriteFileStream: a failed save keeps the file that was there.
  virtual void SaveToFile(const std::string& FileName);
  virtual void LoadFromStream(TStream* Stream) = 0;
  // The base fails an assertion "Export for <class> to <stream class> not available.".
  virtual void SaveToStream(TStream* Stream);

  // The file name (without folders) of the last file loaded or saved.
  const std::string& ResourceName() const noexcept { return resourceName_; }
  void SetResourceName(const std::string& Value) { resourceName_ = Value; }

 private:
  TPersistent* owner_;
  std::string resourceName_;
};
