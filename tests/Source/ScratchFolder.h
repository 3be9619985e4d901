// Test aid: a folder of the test's own under the temp folder, with a name made unique per run
// (two runs at once, or another user's runs, never share it), removed with all it holds when the
// object goes.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

class TScratchFolder {
 public:
  explicit TScratchFolder(const std::string& tag = "tamrivel") {
    std::string pattern = testing::TempDir() + tag + "-XXXXXX";
    if (!::mkdtemp(pattern.data()))
      throw std::filesystem::filesystem_error("mkdtemp", pattern, std::error_code(errno, std::generic_category()));
    path_ = pattern + "/";
  }
  ~TScratchFolder() {
    std::error_code ignored;
    // Folders a test made read-only are opened again first, so that everything goes.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
      if (it->is_directory(ignored) && !it->is_symlink(ignored))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                     ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TScratchFolder(const TScratchFolder&) = delete;
  TScratchFolder& operator=(const TScratchFolder&) = delete;

  // The folder, ending in "/".
  const std::string& Path() const { return path_; }
  // A name inside it.
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};
