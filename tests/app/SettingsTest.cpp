// Tests of window settings and list files: round trips, missing keys, unusable values, comments
// and line ends, unreadable files.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QSlider>
#include <QTemporaryDir>
#include <QWidget>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>

#include <csignal>
#include <fstream>
#include <sstream>

#include "app/Settings.h"
#include "app/Unit_Globals.h"
#include "platform/IniFiles.h"
#include "rtl/SysUtils.h"

namespace {

std::string ReadAll(const std::string& Name) {
  std::ifstream F(Name, std::ios::binary);
  std::stringstream S;
  S << F.rdbuf();
  return S.str();
}

void WriteAll(const std::string& Name, const std::string& Text) {
  std::ofstream F(Name, std::ios::binary);
  F << Text;
}

// A window with one control of each stored kind and some that are not stored.
struct TSampleForm {
  QWidget Form;
  QLineEdit* Edit;
  QCheckBox* Check;
  QSlider* Bar;
  QComboBox* Combo;
  QListWidget* List;
  TSampleForm() {
    Form.setObjectName("Form1");
    Form.setGeometry(10, 20, 300, 200);
    Edit = new QLineEdit("192.168.4.5", &Form);
    Edit->setObjectName("EDT_IPStart");
    Check = new QCheckBox(&Form);
    Check->setObjectName("IgnoreARP");
    Bar = new QSlider(&Form);
    Bar->setObjectName("TrackBar2");
    Bar->setRange(1, 50);
    Combo = new QComboBox(&Form);
    Combo->setObjectName("ComboBox1");
    Combo->setEditable(true);
    List = new QListWidget(&Form);
    List->setObjectName("LB_PCsToMonitor");
  }
};

class SettingsFiles : public testing::Test {
 protected:
  QTemporaryDir Dir;
  std::string Ini;
  void SetUp() override { Ini = Dir.path().toStdString() + "/Tamrivel.ini"; }
};

TEST_F(SettingsFiles, WindowSectionRoundTripsItsStoredControlsOnly) {
  TSampleForm A;
  A.Edit->setText("10.1.1.1");
  A.Check->setChecked(true);
  A.Bar->setValue(7);
  A.Combo->setEditText("1,2,3,4");
  const std::string Port = "32000";
  SaveFormSettings(&A.Form, Ini, &Port);

  TIniFile File(Ini);
  EXPECT_EQ(File.ReadSection("Form1"), (std::vector<std::string>{"Left", "Top", "Width", "Height", "DefaultListenPort",
                                                                 "EDT_IPStart", "IgnoreARP", "TrackBar2"}));
  EXPECT_EQ(File.ReadString("Form1", "IgnoreARP", ""), "1");
  EXPECT_EQ(File.ReadString("Form1", "TrackBar2", ""), "7");

  TSampleForm B;
  int Changes = 0;
  QObject::connect(B.Bar, &QSlider::valueChanged, [&Changes] { ++Changes; });
  EXPECT_EQ(LoadFormSettings(&B.Form, Ini), "32000");
  EXPECT_EQ(B.Edit->text(), "10.1.1.1");
  EXPECT_TRUE(B.Check->isChecked());
  EXPECT_EQ(B.Bar->value(), 7);
  EXPECT_EQ(Changes, 1);  // restoring a track bar runs its change handler
  EXPECT_EQ(B.Combo->currentText(), "");
  EXPECT_EQ(B.Form.geometry().width(), A.Form.geometry().width());
}

TEST_F(SettingsFiles, MissingKeysKeepCurrentValuesAndOtherSectionsSurvive) {
  WriteAll(Ini,
           "[Form2_3D]\r\nGLCamera1.Position.X=5\r\n[Form1]\r\nDefaultListenPort=12345\r\nEDT_IPStart=1.2.3.4\r\n");
  TSampleForm F;
  F.Check->setChecked(true);
  F.Bar->setValue(9);
  std::string Port = LoadFormSettings(&F.Form, Ini);
  EXPECT_EQ(Port, "12345");
  EXPECT_EQ(F.Edit->text(), "1.2.3.4");
  EXPECT_FALSE(F.Check->isChecked());  // check boxes default to unchecked
  EXPECT_EQ(F.Bar->value(), 9);
  SaveFormSettings(&F.Form, Ini, &Port);
  TIniFile File(Ini);
  EXPECT_EQ(File.ReadString("Form2_3D", "GLCamera1.Position.X", ""), "5");
  EXPECT_EQ(File.ReadString("Form1", "DefaultListenPort", ""), "12345");
  EXPECT_EQ(ReadAll(Ini).find("\r\n") != std::string::npos, true);

  QTemporaryDir Empty;
  TSampleForm G;
  EXPECT_EQ(LoadFormSettings(&G.Form, Empty.path().toStdString() + "/none.ini"), "32000");
  EXPECT_EQ(G.Edit->text(), "192.168.4.5");
}

TEST_F(SettingsFiles, UnusableValuesKeepTheCurrentOnesAreLoggedAndNotSavedBack) {
  WriteAll(Ini, "[Form1]\nTrackBar2=1000\nEDT_IPStart=" + std::string(100000, '1') +
                    "\nLeft=x\nWidth=0\n[Form2_3D]\nGLCamera1.Position.X=nan\nGLCamera1.Position.Y=inf\n"
                    "GLCamera1.Position.Z=-7.5\n");
  QPlainTextEdit Log;
  SetObjInfoMemo(&Log);
  TSampleForm F;
  F.Bar->setValue(9);
  const std::string Port = LoadFormSettings(&F.Form, Ini);
  EXPECT_EQ(F.Bar->value(), 9);
  EXPECT_EQ(F.Edit->text(), "192.168.4.5");
  EXPECT_EQ(F.Form.geometry(), QRect(10, 20, 300, 200));
  const QStringList Lines = Log.toPlainText().split('\n');
  ASSERT_EQ(Lines.size(), 4) << Log.toPlainText().left(300).toStdString();
  EXPECT_EQ(Lines[0], "Tamrivel.ini [Form1] Left=x not usable, 10 used");
  EXPECT_TRUE(Lines.contains("Tamrivel.ini [Form1] TrackBar2=1000 not usable, 9 used"));

  TIniFile File(Ini);
  EXPECT_EQ(ReadFloatSetting(File, "Form2_3D", "GLCamera1.Position.X", 100, -1e4, 1e4), 100);
  EXPECT_EQ(ReadFloatSetting(File, "Form2_3D", "GLCamera1.Position.Y", 100, -1e4, 1e4), 100);
  EXPECT_EQ(ReadFloatSetting(File, "Form2_3D", "GLCamera1.Position.Z", 100, -1e4, 1e4), -7.5);
  EXPECT_EQ(ReadIntSetting(File, "Form2_3D", "Missing", 3, 0, 5), 3);
  EXPECT_EQ(Log.document()->blockCount(), 6);
  SetObjInfoMemo(nullptr);

  SaveFormSettings(&F.Form, Ini, &Port);
  EXPECT_EQ(TIniFile(Ini).ReadString("Form1", "EDT_IPStart", ""), "192.168.4.5");
}

TEST_F(SettingsFiles, ListFilesSkipCommentsKeepEmptyLinesAndReadCrLf) {
  const std::string Name = Dir.path().toStdString() + "/Senders.txt";
  WriteAll(Name, "# servers\r\n10.0.0.5,5000\r\n\r\n#x\r\n10.0.0.6,5001");
  QListWidget Target, Loader;
  Target.addItem("local,PC");
  AddFileToListBox(Name, &Target, &Loader);
  ASSERT_EQ(Target.count(), 4);
  EXPECT_EQ(Target.item(1)->text(), "10.0.0.5,5000");
  EXPECT_EQ(Target.item(2)->text(), "");
  EXPECT_EQ(Target.item(3)->text(), "10.0.0.6,5001");
  EXPECT_EQ(Loader.count(), 5);  // the loader holds the whole file

  WriteAll(Name, "10.0.0.5,5000\n");
  EXPECT_EQ(ReadListFile(Name), (std::vector<std::string>{"10.0.0.5,5000"}));
}

TEST_F(SettingsFiles, ListRowsWithAnAddressThatIsNoneAreLoggedAndSkipped) {
  const std::string Name = Dir.path().toStdString() + "/Receivers.txt";
  WriteAll(Name,
           "192.168.1.999,32000\n10.0.0.0x1F,32000\n10.0.0,32000\n192.168.1.9,32000\nfeed-host.lan,32000\n"
           " 10.0.0.7 ,32000\n\n");
  QPlainTextEdit Log;
  SetObjInfoMemo(&Log);
  QListWidget Target, Loader;
  AddFileToListBox(Name, &Target, &Loader);
  SetObjInfoMemo(nullptr);
  ASSERT_EQ(Target.count(), 4);
  EXPECT_EQ(Target.item(0)->text(), "192.168.1.9,32000");
  EXPECT_EQ(Target.item(1)->text(), "feed-host.lan,32000");  // host names are the resolver's
  EXPECT_EQ(Target.item(2)->text(), " 10.0.0.7 ,32000");
  EXPECT_EQ(Target.item(3)->text(), "");
  const QStringList Lines = Log.toPlainText().split('\n');
  ASSERT_EQ(Lines.size(), 3);
  EXPECT_EQ(Lines[0],
            "AddFileToListBox Receivers.txt line 1 \"192.168.1.999,32000\": '999' is not an address octet (0 "
            "to 255); skipped");
  EXPECT_TRUE(Lines[1].startsWith("AddFileToListBox Receivers.txt line 2 \"10.0.0.0x1F,32000\": '0x1F'"));
  EXPECT_TRUE(Lines[2].startsWith("AddFileToListBox Receivers.txt line 3 "));
}

TEST_F(SettingsFiles, ListRowsWithLeadingZerosNameTheServerOneWay) {
  const std::string Name = Dir.path().toStdString() + "/Senders.txt";
  WriteAll(Name, "010.30.0.1,5000\n10.030.000.001,5001\n10.30.0.1,5002\n010.30.0.300,1\n0.0.0.0,1\n");
  QListWidget Target, Loader;
  AddFileToListBox(Name, &Target, &Loader);
  ASSERT_EQ(Target.count(), 4);
  EXPECT_EQ(Target.item(0)->text(), "10.30.0.1,5000");
  EXPECT_EQ(Target.item(1)->text(), "10.30.0.1,5001");
  EXPECT_EQ(Target.item(2)->text(), "10.30.0.1,5002");
  EXPECT_EQ(Target.item(3)->text(), "0.0.0.0,1");
}

TEST_F(SettingsFiles, UnreadableListFileLogsOnceAndAddsNothing) {
  QPlainTextEdit Log;
  SetObjInfoMemo(&Log);
  QListWidget Target, Loader;
  AddFileToListBox(Dir.path().toStdString() + "/Receivers.txt", &Target, &Loader);
  EXPECT_EQ(Target.count(), 0);
  EXPECT_EQ(Log.document()->blockCount(), 1);
  EXPECT_TRUE(Log.toPlainText().startsWith("AddFileToListBox "));
  SetObjInfoMemo(nullptr);
  EXPECT_THROW(ReadListFile(Dir.path().toStdString() + "/none.txt"), EFOpenError);
}

}  // namespace

namespace {

// Files may grow to `Bytes` at most while it lives: a longer write fails part
// way (as on a full disk), after the file was opened.
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(rlim_t Bytes) {
    getrlimit(RLIMIT_FSIZE, &Old_);
    OldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit Limit = Old_;
    Limit.rlim_cur = Bytes;
    setrlimit(RLIMIT_FSIZE, &Limit);
  }
  ~TFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &Old_);
    std::signal(SIGXFSZ, OldHandler_);
  }

 private:
  rlimit Old_{};
  void (*OldHandler_)(int) = SIG_DFL;
};

TEST_F(SettingsFiles, ASaveThatFailsPartWayKeepsTheOldFileWhole) {
  const std::string Log = Dir.path().toStdString() + "/OBJinfo.txt";
  WriteAll(Log, "old line\r\n");
  WriteAll(Ini, "[Form1]\r\nTrackBar2=7\r\n");
  TSampleForm F;
  const std::vector<std::string> Lines(100, std::string(100, 'x'));
  {
    TFileSizeLimit Limit(1000);
    EXPECT_THROW(SaveLinesToFile(Log, Lines), std::exception);
    F.Edit->setText(QString(2000, 'y'));
    EXPECT_THROW(SaveFormSettings(&F.Form, Ini), std::exception);
  }
  EXPECT_EQ(ReadAll(Log), "old line\r\n");
  // The ini file goes to disk key by key, each write whole: the keys before
  // the failing one are new, the rest as they were.
  TIniFile Stored(Ini);
  EXPECT_EQ(Stored.ReadInteger("Form1", "Width", 0), 300);
  EXPECT_FALSE(Stored.ValueExists("Form1", "EDT_IPStart"));
  EXPECT_EQ(Stored.ReadString("Form1", "TrackBar2", ""), "7");
  EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);  // nothing left beside them
  // Without the limit the same save replaces the file.
  SaveLinesToFile(Log, Lines);
  EXPECT_EQ(ReadAll(Log).size(), 100u * 102u);
}

// The settings and the logs kept elsewhere through links (a user's dotfiles): each save goes to
// the file the link names, with that file's mode, and the link stays.
TEST_F(SettingsFiles, SavesThroughLinksGoToTheFilesTheyNameAndKeepTheLinks) {
  const std::string Base = Dir.path().toStdString() + "/";
  QDir(Dir.path()).mkdir("kept");
  WriteAll(Base + "kept/Tamrivel.ini", "[Form1]\r\nTrackBar2=7\r\n");
  WriteAll(Base + "kept/OBJinfo.txt", "old line\r\n");
  ASSERT_EQ(::chmod((Base + "kept/OBJinfo.txt").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("kept/Tamrivel.ini", Ini.c_str()), 0);
  ASSERT_EQ(::symlink((Base + "kept/OBJinfo.txt").c_str(), (Base + "OBJinfo.txt").c_str()), 0);
  TSampleForm F;
  SaveFormSettings(&F.Form, Ini);
  SaveLinesToFile(Base + "OBJinfo.txt", {"a", "b"});
  EXPECT_EQ(TIniFile(Base + "kept/Tamrivel.ini").ReadString("Form1", "EDT_IPStart", ""), "192.168.4.5");
  EXPECT_EQ(ReadAll(Base + "kept/OBJinfo.txt"), "a\r\nb\r\n");
  struct stat St;
  ASSERT_EQ(::stat((Base + "kept/OBJinfo.txt").c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 07777, mode_t(0600));
  for (const std::string& Link : {Ini, Base + "OBJinfo.txt"}) {
    ASSERT_EQ(::lstat(Link.c_str(), &St), 0);
    EXPECT_TRUE(S_ISLNK(St.st_mode)) << Link;
  }
  EXPECT_EQ(QDir(Dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System).size(),
            3);  // the two links and the folder: nothing left beside them
}

}  // namespace
