// Tests of ini files: round trips keeping comments and order, line ends and byte-order marks,
// case, numbers under a German locale, shared files, refused values.
#include "platform/IniFiles.h"
#include "rtl/GermanLocale.h"
#include "tests/common/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class IniFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::make_unique<TTestFolder>("ini");
    file_ = dir_->File("Tamrivel.ini");
  }
  void TearDown() override { dir_.reset(); }
  fs::path Dir() const { return dir_->Path(); }

  void Put(const std::string& text) const { std::ofstream(file_, std::ios::binary) << text; }
  std::string Get() const {
    std::ifstream in(file_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::unique_ptr<TTestFolder> dir_;  // of this test alone, removed after it
  std::string file_;
};

TEST_F(IniFiles, RoundTripKeepsOtherSectionsCommentsAndKeyOrder) {
  Put("; settings\n"
      "[Form1]\n"
      "Left=10\n"
      "Top=20\n"
      "; placement ends here\n"
      "Width=300\n"
      "\n"
      "[Other]\n"
      "Zeta=1\n"
      "Alpha=2\n");
  {
    TIniFile ini(file_);
    ini.WriteInteger("Form1", "Top", 25);
    ini.WriteString("Form1", "DefaultListenPort", "32000");
    ini.WriteBool("Form2_3D", "CheckBox1", true);
  }
  EXPECT_EQ(Get(),
            "; settings\n"
            "[Form1]\n"
            "Left=10\n"
            "Top=25\n"
            "; placement ends here\n"
            "Width=300\n"
            "DefaultListenPort=32000\n"
            "\n"
            "[Other]\n"
            "Zeta=1\n"
            "Alpha=2\n"
            "[Form2_3D]\n"
            "CheckBox1=1\n");

  TIniFile again(file_);
  EXPECT_EQ(again.ReadSections(), (std::vector<std::string>{"Form1", "Other", "Form2_3D"}));
  EXPECT_EQ(again.ReadSection("Other"), (std::vector<std::string>{"Zeta", "Alpha"}));
  EXPECT_EQ(again.ReadSectionValues("Form1"),
            (std::vector<std::string>{"Left=10", "Top=25", "Width=300", "DefaultListenPort=32000"}));
  EXPECT_EQ(again.ReadInteger("Form1", "Top", 0), 25);
  EXPECT_TRUE(again.ReadBool("Form2_3D", "CheckBox1", false));
}

TEST_F(IniFiles, AddSectionPutsAWholeSectionBeforeAnotherInOneWrite) {
  Put("[Default]\r\nA=1\r\n\r\n; the home network\r\n[LAN]\r\nB=2\r\n");
  TIniFile ini(file_);
  ini.AddSection("Host", {{"X", "1.5"}, {"IPmin", "10.0.0.1"}}, "lan");
  EXPECT_EQ(Get(),
            "[Default]\r\nA=1\r\n\r\n[Host]\r\nX=1.5\r\nIPmin=10.0.0.1\r\n; the home network\r\n[LAN]\r\nB=2\r\n");
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Default", "Host", "LAN"}));
  ini.AddSection("Last", {{"Y", "2"}}, "Missing");
  EXPECT_EQ(ini.ReadSections().back(), "Last");
  EXPECT_EQ(ini.ReadString("Last", "Y", ""), "2");
  // An existing section is not added again, nor a name the format cannot hold.
  EXPECT_THROW(ini.AddSection("HOST", {{"X", "9"}}), EIniFileException);
  EXPECT_THROW(ini.AddSection("A]B", {}), EIniFileException);
  EXPECT_THROW(ini.AddSection("New", {{"K", "a\nb"}}), EIniFileException);
  EXPECT_EQ(ini.ReadString("Host", "X", ""), "1.5");
  EXPECT_FALSE(ini.SectionExists("New"));
}

TEST_F(IniFiles, CrLfFilesReadLikeLfFilesAndKeepTheirLineEnds) {
  Put("[Form1]\r\nEDT_IPStart = 10.0.0.1 \r\nTrackBar1=15\r\n\r\n[Empty]\r\n");
  TIniFile ini(file_);
  EXPECT_EQ(ini.ReadString("Form1", "EDT_IPStart", ""), "10.0.0.1");
  EXPECT_EQ(ini.ReadInteger("Form1", "TrackBar1", 0), 15);
  EXPECT_TRUE(ini.SectionExists("Empty"));
  EXPECT_EQ(ini.ReadSection("Empty"), std::vector<std::string>{});
  ini.WriteInteger("Form1", "TrackBar2", 3);
  EXPECT_EQ(Get(), "[Form1]\r\nEDT_IPStart = 10.0.0.1 \r\nTrackBar1=15\r\nTrackBar2=3\r\n\r\n[Empty]\r\n");
}

TEST_F(IniFiles, ALoneCrEndsALineAndIsKeptAsTheFilesLineEnd) {
  // Saved by an old Mac editor: each header after a CR is a section.
  Put("[Srv]\rIP=10.0.0.1\r  [Wide]\rIPmin=10.1.0.0\r");
  TIniFile ini(file_);
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Srv", "Wide"}));
  EXPECT_EQ(ini.ReadString("Srv", "IP", ""), "10.0.0.1");
  EXPECT_EQ(ini.ReadString("Wide", "IPmin", ""), "10.1.0.0");
  ini.WriteString("Srv", "X", "1");
  EXPECT_EQ(Get(), "[Srv]\rIP=10.0.0.1\rX=1\r  [Wide]\rIPmin=10.1.0.0\r");

  // A lone CR inside an LF file ends its line too; CR LF is one line end.
  Put("[A]\nk=1\r[B]\r\nk=2\r\r\n[C]\nk=3");
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(ini.ReadString("A", "k", ""), "1");
  EXPECT_EQ(ini.ReadString("B", "k", ""), "2");
  EXPECT_EQ(ini.ReadString("C", "k", ""), "3");
  EXPECT_EQ(ini.ReadSection("B"), std::vector<std::string>{"k"});
  EXPECT_TRUE(ini.Warnings().empty());
}

TEST_F(IniFiles, ASectionNameUsedTwiceIsReportedWithItsLines) {
  Put("; hosts\n[LAN]\nk=first\n[Srv]\n[lan]\nk=second\n[LAN]\n");
  TIniFile ini(file_);
  std::vector<std::string> told;
  ini.OnWarning([&told](const std::string& w) { told.push_back(w); });
  EXPECT_EQ(ini.ReadString("LAN", "k", ""), "first");
  const std::vector<std::string> expected = {"line 5: [lan] repeats the section of line 2; its keys are not read",
                                             "line 7: [LAN] repeats the section of line 2; its keys are not read"};
  EXPECT_EQ(told, expected);
  EXPECT_EQ(ini.Warnings(), expected);
  // Rereading after a write of its own, or reading again, tells nothing new.
  ini.WriteString("Srv", "k", "v");
  EXPECT_EQ(ini.ReadString("Srv", "k", ""), "v");
  EXPECT_EQ(told.size(), 2u);
  // The file changed so that the problem is another: told again.
  Put("[LAN]\n[Srv]\n[srv]\n");
  EXPECT_TRUE(ini.SectionExists("srv"));
  ASSERT_EQ(told.size(), 3u);
  EXPECT_EQ(told[2], "line 3: [srv] repeats the section of line 2; its keys are not read");
  Put("[LAN]\n");
  EXPECT_TRUE(ini.SectionExists("LAN"));
  EXPECT_TRUE(ini.Warnings().empty());
  // A handler that throws does not make the read raise.
  Put("[A]\nk=1\n[A]\n");
  ini.OnWarning([](const std::string&) { throw std::runtime_error("x"); });
  EXPECT_EQ(ini.ReadString("A", "k", ""), "1");
}

TEST_F(IniFiles, ByteOrderMarkIsSkippedAndKeptAndEmptyValuesAreValues) {
  // Saved as "UTF-8 with BOM": the first section must still be found, as the
  // string list that reads the same file beside it finds it.
  Put("\xEF\xBB\xBF[Default]\r\nIP=127.0.0.1\r\nTexture=\r\nIP=10.0.0.9\r\n");
  TIniFile ini(file_);
  EXPECT_EQ(ini.ReadSections(), std::vector<std::string>{"Default"});
  EXPECT_EQ(ini.ReadString("Default", "IP", ""), "127.0.0.1");         // the first of duplicate keys
  EXPECT_EQ(ini.ReadString("Default", "Texture", "default.bmp"), "");  // present, though empty
  EXPECT_EQ(ini.ReadInteger("Default", "Texture", 7), 7);
  ini.WriteFloat("Default", "X", 12.3f);
  ini.WriteFloat("Default", "Y", -0.5);
  EXPECT_EQ(static_cast<float>(ini.ReadFloat("Default", "X", 0)), 12.3f);
  EXPECT_EQ(Get(), "\xEF\xBB\xBF[Default]\r\nIP=127.0.0.1\r\nTexture=\r\nIP=10.0.0.9\r\nX=12.3\r\nY=-0.5\r\n");
}

TEST_F(IniFiles, SectionsAndKeysMatchWithoutRegardToCase) {
  Put("[192.168.1.20]\nMAC=00-11\nUSER=anna\n[Dup]\nk=first\n[DUP]\nk=second\n");
  TIniFile ini(file_);
  EXPECT_EQ(ini.ReadString("192.168.1.20", "user", ""), "anna");
  EXPECT_EQ(ini.ReadString("dup", "K", ""), "first");  // the first of duplicates wins
  EXPECT_TRUE(ini.ValueExists("192.168.1.20", "mac"));
  EXPECT_FALSE(ini.ValueExists("192.168.1.20", "NAME"));
  EXPECT_FALSE(ini.ValueExists("nosuch", "MAC"));
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"192.168.1.20", "Dup"}));

  // Writing through another spelling updates the existing key, keeping its spelling.
  ini.WriteString("192.168.1.20", "user", "bert");
  EXPECT_EQ(ini.ReadSectionValues("192.168.1.20"), (std::vector<std::string>{"MAC=00-11", "USER=bert"}));

  ini.DeleteKey("192.168.1.20", "mac");
  EXPECT_FALSE(ini.ValueExists("192.168.1.20", "MAC"));
  ini.WriteString("Later", "k", "v");
  ini.EraseSection("dup");  // both duplicates go; the sections after them are still found
  EXPECT_EQ(Get(), "[192.168.1.20]\nUSER=bert\n[Later]\nk=v\n");
  EXPECT_EQ(ini.ReadString("LATER", "k", ""), "v");
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"192.168.1.20", "Later"}));
  ini.WriteString("dup", "k", "new");  // a section that was erased comes back at the end
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"192.168.1.20", "Later", "dup"}));
  EXPECT_EQ(ini.ReadString("Dup", "K", ""), "new");
}

TEST_F(IniFiles, MissingFileReadsAsEmptyAndFirstWriteCreatesIt) {
  TIniFile ini(file_);
  EXPECT_EQ(ini.ReadString("Form1", "Left", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadInteger("Form1", "Left", -7), -7);
  EXPECT_DOUBLE_EQ(ini.ReadFloat("Form2_3D", "GLCamera1.Position.X", 100.0), 100.0);
  EXPECT_TRUE(ini.ReadSections().empty());
  EXPECT_FALSE(fs::exists(file_));
  ini.DeleteKey("Form1", "Left");
  ini.EraseSection("Form1");
  ini.UpdateFile();
  EXPECT_FALSE(fs::exists(file_));  // nothing to write, nothing created

  ini.WriteString("Form1", "Left", "5");
  EXPECT_EQ(Get(), "[Form1]\nLeft=5\n");
  // Only the ini file is there: the temporary file was renamed over it.
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir()), fs::directory_iterator()), 1);
}

TEST_F(IniFiles, NumbersAndBooleans) {
  Put("[N]\nhex=$1F\nbad=12abc\nother=7\nword=true\ncomma=2,25\n");
  TIniFile ini(file_);
  EXPECT_EQ(ini.ReadInteger("N", "hex", 0), 31);
  EXPECT_EQ(ini.ReadInteger("N", "bad", 4), 4);
  EXPECT_TRUE(ini.ReadBool("N", "other", false));  // any non-zero number is true
  EXPECT_TRUE(ini.ReadBool("N", "word", true));    // not a number: the default
  EXPECT_FALSE(ini.ReadBool("N", "word", false));
  EXPECT_DOUBLE_EQ(ini.ReadFloat("N", "comma", -1), -1);

  ini.WriteBool("N", "wb", false);
  ini.WriteInteger("N", "wi", -2147483647 - 1);
  ini.WriteFloat("N", "wf", 0.1);
  EXPECT_EQ(ini.ReadString("N", "wb", ""), "0");
  EXPECT_EQ(ini.ReadInteger("N", "wi", 0), -2147483647 - 1);
  EXPECT_EQ(ini.ReadFloat("N", "wf", 0), 0.1);  // exact round trip
}

TEST_F(IniFiles, FloatsUseTheDecimalPointUnderAGermanLocale) {
  GermanLocale german(Dir());
  if (!german.Active()) GTEST_SKIP() << "no German locale available";
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  ASSERT_STREQ(probe, "1,5");  // the locale really uses a decimal comma
  TIniFile ini(file_);
  ini.WriteFloat("Form2_3D", "GLCamera1.Position.X", 12.5);
  ini.WriteFloat("Form2_3D", "GLCamera1.Position.Y", -0.75);
  Put(Get() + "Z=3.125\n");
  const double x = ini.ReadFloat("Form2_3D", "GLCamera1.Position.X", 0);
  const double z = ini.ReadFloat("Form2_3D", "Z", 0);
  german.Restore();
  EXPECT_EQ(Get(), "[Form2_3D]\nGLCamera1.Position.X=12.5\nGLCamera1.Position.Y=-0.75\nZ=3.125\n");
  EXPECT_DOUBLE_EQ(x, 12.5);
  EXPECT_DOUBLE_EQ(z, 3.125);
}

TEST_F(IniFiles, SeveralObjectsOnOneFileDoNotUndoEachOthersWrites) {
  TIniFile a(file_), b(file_);
  a.WriteString("S", "one", "1");
  EXPECT_EQ(b.ReadString("S", "one", ""), "1");
  b.WriteString("S", "two", "2");
  a.WriteString("S", "three", "3");
  EXPECT_EQ(Get(), "[S]\none=1\ntwo=2\nthree=3\n");

  // A file replaced behind the object's back is read again.
  Put("[S]\none=changed\n");
  EXPECT_EQ(a.ReadString("S", "one", ""), "changed");
  EXPECT_FALSE(a.ValueExists("S", "two"));
}

TEST_F(IniFiles, WhatTheFormatCannotHoldIsRefusedAndTheFileKept) {
  Put("[S]\nk=v\n");
  TIniFile ini(file_);
  EXPECT_THROW(ini.WriteString("", "k", "v"), EIniFileException);
  EXPECT_THROW(ini.WriteString("a]b", "k", "v"), EIniFileException);
  EXPECT_THROW(ini.WriteString("S", "", "v"), EIniFileException);
  EXPECT_THROW(ini.WriteString("S", "a=b", "v"), EIniFileException);
  EXPECT_THROW(ini.WriteString("S", "[k", "v"), EIniFileException);
  EXPECT_THROW(ini.WriteString("S", "k", "two\nlines"), EIniFileException);
  EXPECT_THROW(ini.WriteString("S\r\n[T]", "k", "v"), EIniFileException);
  EXPECT_EQ(Get(), "[S]\nk=v\n");

  TIniFile nowhere((Dir() / "missing-folder" / "x.ini").string());
  try {
    nowhere.WriteString("S", "k", "v");
    FAIL() << "no error for an unwritable file";
  } catch (const EIniFileException& e) {
    const std::string name = (Dir() / "missing-folder" / "x.ini").string();  // the file and the reason
    EXPECT_EQ(std::string(e.what()),
              "Unable to write to " + name + ": Cannot create file \"" + name + "\". " + SysErrorMessage(ENOENT));
  }
  EXPECT_EQ(nowhere.ReadString("S", "k", "none"), "none");  // the failed write left nothing behind
}

// An ini file that is a link to one kept elsewhere: the file it names gets every write, with its
// mode; the link stays, and nothing is left beside either.
TEST_F(IniFiles, WritesThroughALinkGoToTheFileItNamesAndKeepTheLinkAndMode) {
  fs::create_directories(Dir() / "elsewhere");
  const fs::path kept = Dir() / "elsewhere" / "kept.ini";
  std::ofstream(kept, std::ios::binary) << "[Form1]\nLeft=1\n";
  fs::permissions(kept, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("elsewhere/kept.ini", file_);
  TIniFile ini(file_);
  ini.WriteInteger("Form1", "Left", 5);
  ini.AddSection("IP10_1_0_5", {{"X", "20"}});
  ini.EraseSection("IP10_1_0_5");
  ini.DeleteKey("Form1", "Left");
  ini.WriteString("Form1", "Top", "7");
  EXPECT_TRUE(fs::is_symlink(file_));
  EXPECT_EQ(fs::read_symlink(file_), fs::path("elsewhere/kept.ini"));
  std::ifstream in(kept, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), "[Form1]\nTop=7\n");
  EXPECT_EQ(fs::status(kept).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir()), fs::directory_iterator()), 2);
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir() / "elsewhere"), fs::directory_iterator()), 1);
  EXPECT_EQ(TIniFile(file_).ReadString("Form1", "Top", ""), "7");
}

TEST_F(IniFiles, KeysBeforeTheFirstSectionAndOddLinesAreKeptButNotKeys) {
  Put("stray=1\n[S]\nnot a key line\n;k=commented\n=novalue\nk=a=b\n");
  TIniFile ini(file_);
  EXPECT_EQ(ini.ReadSection("S"), std::vector<std::string>{"k"});
  EXPECT_EQ(ini.ReadString("S", "k", ""), "a=b");
  EXPECT_EQ(ini.ReadString("S", ";k", "none"), "none");
  ini.WriteString("S", "new", "x");
  EXPECT_EQ(Get(), "stray=1\n[S]\nnot a key line\n;k=commented\n=novalue\nk=a=b\nnew=x\n");
}

}  // namespace
