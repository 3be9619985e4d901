// Tests of the path helpers: backslash conversion, the program folder, case-insensitive look-up.
#include "platform/Paths.h"
#include "tests/common/TempFolder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

TEST(Paths, ToNativePathTurnsBackslashesAndCollapsesSeparators) {
  EXPECT_EQ(ToNativePath("C:\\x"), "C:/x");
  EXPECT_EQ(ToNativePath("/opt/app/\\Images\\floor.jpg"), "/opt/app/Images/floor.jpg");
  EXPECT_EQ(ToNativePath("a//b///c"), "a/b/c");
  EXPECT_EQ(ToNativePath(""), "");
}

TEST(Paths, ProgramFolderIsTheExecutablesFolderUnlessReplaced) {
  const std::string folder = ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  char exe[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  EXPECT_EQ(folder + ExtractFileName(exe), exe);

  SetProgramFolder("/tmp\\scratch");
  EXPECT_EQ(ProgramFolder(), "/tmp/scratch/");
  SetProgramFolder("");
  EXPECT_EQ(ProgramFolder(), folder);
}

TEST(Paths, FilesAreFoundWhateverTheCaseOfEachComponent) {
  const TTestFolder folder("paths");
  const fs::path root = folder.Path();
  fs::create_directories(root / "Images");
  std::ofstream(root / "Images" / "Floor.JPG") << "x";
  std::ofstream(root / "Images" / "exact.bmp") << "x";
  std::ofstream(root / "Images" / "EXACT.bmp") << "x";
  const std::string base = root.string();

  EXPECT_EQ(FindFileCaseInsensitive(base + "\\images\\floor.jpg"), base + "/Images/Floor.JPG");
  EXPECT_TRUE(FileExistsAnyCase(base + "/IMAGES/FLOOR.jpg"));
  // An exact spelling wins over other matches; among other matches the first by name.
  EXPECT_EQ(FindFileCaseInsensitive(base + "/images/exact.bmp"), base + "/Images/exact.bmp");
  EXPECT_EQ(FindFileCaseInsensitive(base + "/images/Exact.BMP"), base + "/Images/EXACT.bmp");
  // A missing part stays as written, so opening it fails as usual.
  EXPECT_EQ(FindFileCaseInsensitive(base + "/images/sub/none.bmp"), base + "/Images/sub/none.bmp");
  EXPECT_FALSE(FileExistsAnyCase(base + "/images/none.bmp"));
  EXPECT_FALSE(FileExistsAnyCase(base + "/images"));  // a folder is not a file
}

}  // namespace
