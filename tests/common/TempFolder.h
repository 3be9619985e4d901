// A folder of a test's own under the temp folder ($TMPDIR, else /tmp): its name is made unique when
// it is created (so runs side by side, and runs of other users, never meet), and it is removed with
// everything in it when the object goes, also when the test stops at a failed assertion.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

class TTestFolder {
 public:
  explicit TTestFolder(const std::string& tag) {
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) base = "/tmp";
    std::string pattern = (base / ("tamrivel-" + tag + "-XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    FMade = ::mkdtemp(name.data()) != nullptr;
    // Without it the test fails, and its files (in a folder that does not exist) cannot be made.
    FPath = FMade ? std::string(name.data()) : pattern;
    EXPECT_TRUE(FMade) << "cannot make a folder like " << pattern;
  }
  ~TTestFolder() {
    if (!FMade) return;
    std::error_code ec;
    // Folders a test made read-only are opened again first, so that everything goes.
    for (auto it = std::filesystem::recursive_directory_iterator(FPath, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      if (it->is_directory(ec) && !it->is_symlink(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                     ec);
    std::filesystem::remove_all(FPath, ec);
  }
  TTestFolder(const TTestFolder&) = delete;
  TTestFolder& operator=(const TTestFolder&) = delete;

  const std::string& Path() const { return FPath; }
  std::string File(const std::string& name) const { return FPath + "/" + name; }
  std::string operator/(const std::string& name) const { return File(name); }

 private:
  std::string FPath;
  bool FMade = false;
};
