// Tests of engine file access: missing files, backslashes and letter case, bare resource names,
// and a failed save that keeps the old file.
#include "Source/Base/ApplicationFileIO.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

class TTextFile : public TDataFile {
  RTL_CLASS(TTextFile, TDataFile)
 public:
  using TDataFile::TDataFile;
  std::string Text;
  void LoadFromStream(TStream* Stream) override {
    Text.assign(static_cast<std::size_t>(Stream->Size()), '\0');
    Stream->ReadBuffer(Text.data(), Stream->Size());
  }
};

class TTextWriterFile : public TTextFile {
  RTL_CLASS(TTextWriterFile, TTextFile)
 public:
  using TTextFile::TTextFile;
  void SaveToStream(TStream* Stream) override { Stream->WriteBuffer(Text.data(), Text.size()); }
};

std::string Dir() {
  std::string d = testing::TempDir() + "fileio_test/";
  ::mkdir(d.c_str(), 0700);
  ::mkdir((d + "Images").c_str(), 0700);
  return d;
}

TEST(ApplicationFileIO, MissingFilesRaiseUnlessCreated) {
  std::string name = Dir() + "none.bin";
  std::remove(name.c_str());
  try {
    CreateFileStream(name, fmOpenRead);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "File not found: \"" + name + "\"");
  }
  EXPECT_FALSE(FileStreamExists(name));
  CreateFileStream(name, fmCreateLegacy)->WriteBuffer("abc", 3);
  EXPECT_TRUE(FileStreamExists(name));
  EXPECT_EQ(CreateFileStream(name, fmCreate)->Size(), 0);  // truncated
  EXPECT_FALSE(ApplicationFileIOAvailable());
  std::remove(name.c_str());
}

TEST(ApplicationFileIO, BackslashesAndLetterCaseFindTheFile) {
  std::string d = Dir();
  CreateFileStream(d + "Images/Floor.bmp", fmCreate)->WriteBuffer("x", 1);
  EXPECT_TRUE(FileStreamExists(d + "images\\floor.BMP"));
  EXPECT_EQ(CreateFileStream(d + "IMAGES/floor.bmp")->Size(), 1);
  std::remove((d + "Images/Floor.bmp").c_str());
}

TEST(ApplicationFileIO, DataFilesKeepTheBareResourceName) {
  std::string d = Dir();
  TTextWriterFile out(nullptr);
  out.Text = "hello";
  out.SaveToFile(d + "Images/c.glsm");
  EXPECT_EQ(out.ResourceName(), "c.glsm");

  TTextFile in(nullptr);
  in.LoadFromFile(d + "Images/c.glsm");
  EXPECT_EQ(in.Text, "hello");
  EXPECT_EQ(in.ResourceName(), "c.glsm");

  in.SetResourceName("kept");
  EXPECT_ANY_THROW(in.LoadFromFile(d + "Images/missing.glsm"));
  EXPECT_EQ(in.ResourceName(), "kept");  // left as it was

  try {
    in.SaveToFile(d + "Images/c.glsm");
    ADD_FAILURE();
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(std::string(e.Message()).find("Export for TTextFile to TFileStream not available."), std::string::npos);
  }
  std::unique_ptr<TDataFile> twin(in.CreateOfSameClass(&in));
  EXPECT_EQ(twin->ClassName(), "TTextFile");
  EXPECT_EQ(twin->GetOwner(), &in);
  std::remove((d + "Images/c.glsm").c_str());
}

// A format that only reads.
class TReadOnlyFile : public TTextFile {
  RTL_CLASS(TReadOnlyFile, TTextFile)
 public:
  using TTextFile::TTextFile;
};

TEST(ApplicationFileIO, AFailedSaveLeavesTheFileThatWasThere) {
  std::string d = Dir();
  TTextWriterFile out(nullptr);
  out.Text = "precious";
  out.SaveToFile(d + "Images/keep.txt");

  TReadOnlyFile readOnly(nullptr);
  EXPECT_THROW(readOnly.SaveToFile(d + "Images/keep.txt"), EAssertionFailed);
  TTextFile in(nullptr);
  in.LoadFromFile(d + "Images/keep.txt");
  EXPECT_EQ(in.Text, "precious");
  EXPECT_FALSE(FileStreamExists(d + "Images/keep.txt.partial"));

  // A new file in a folder spelled with another letter case goes into that folder.
  out.Text = "new";
  out.SaveToFile(d + "images\\Fresh.txt");
  in.LoadFromFile(d + "Images/Fresh.txt");
  EXPECT_EQ(in.Text, "new");
  // A missing folder fails with the name asked for.
  try {
    out.SaveToFile(d + "NoSuchFolder/x.txt");
    ADD_FAILURE();
  } catch (const EFCreateError& e) {
    EXPECT_NE(e.Message().find("NoSuchFolder/x.txt\""), std::string::npos) << e.Message();
  }
  std::remove((d + "Images/keep.txt").c_str());
  std::remove((d + "Images/Fresh.txt").c_str());
}

}  // namespace
