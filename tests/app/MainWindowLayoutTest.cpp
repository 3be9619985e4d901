// The main window at the width it opens with: every selection field whole
// (or cut, with its whole text on hover), packet lines in the Sniffer tab one
// row each with their fields apart.
#include <QScrollBar>
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextLayout>

#include <string>
#include <vector>

#include "app/Unit1.h"
#include "app/Unit_Globals.h"
#include "platform/Paths.h"

namespace {

// The width the main window opens with (which the settings then store).
constexpr int DefaultWidth = 933;

class MainWindowLayout : public testing::Test {
 protected:
  QTemporaryDir Dir;
  void SetUp() override {
    SetProgramFolder(Dir.path().toStdString());
    ViewLink() = TViewLink{};
  }
  void TearDown() override {
    ViewLink() = TViewLink{};
    SetProgramFolder("");
  }
};

void Settle(QWidget& W) {
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
  W.grab();  // lays out and paints every child
}

std::vector<QLabel*> SelectionLabels(TForm1& F) {
  return {F.LB_IP, F.Label2, F.Label3, F.LB_X, F.LB_Y, F.LB_Z, F.LB_BandWidth};
}

bool Whole(const QLabel* L) { return L->fontMetrics().horizontalAdvance(L->text()) <= L->contentsRect().width(); }

TEST_F(MainWindowLayout, SelectionFieldsShowWholeOrCutWithTheWholeTextOnHover) {
  TForm1 F;
  F.show();
  Settle(F);
  // At the width it opens with, a cube of a shipped profile, of a /24 block,
  // and a pipe (the longest object name) show whole, as the 3D view hands
  // them.
  EXPECT_EQ(F.width(), DefaultWidth);
  const std::vector<std::vector<std::string>> Selections = {
      {"-39.471394", "-69.58455", "-11.100001", "192.168.100.200", "LAN192_168_1", "IP192_168_100_200"},
      {"39.471394", "69.58455", "11.1", "11.0.21.1", "IP184554753", "IP11_0_21"},
      {"-105.25", "3.5", "0.25", "", "Pipe", "MYC32322355203232235521"}};
  for (int Width : {DefaultWidth, F.minimumSizeHint().width()}) {
    F.resize(Width, 640);
    for (const auto& V : Selections) {
      F.ShowSelection(V[0], V[1], V[2], V[3], V[4], V[5]);
      F.LB_BandWidth->setText("bps 123,456,789");
      Settle(F);
      const std::vector<QLabel*> Labels = SelectionLabels(F);
      for (QLabel* L : Labels) {
        EXPECT_TRUE(L->isVisible());
        if (Width == DefaultWidth) {
          EXPECT_TRUE(Whole(L)) << L->text().toStdString() << " in " << L->contentsRect().width() << " px";
        } else {  // narrower: whole, or cut with the whole text on hover
          EXPECT_TRUE(Whole(L) || L->toolTip() == L->text()) << L->text().toStdString();
        }
      }
      for (QLabel* L : Labels)  // apart from each other
        for (QLabel* M : Labels)
          EXPECT_TRUE(L == M || !L->geometry().intersects(M->geometry())) << L->text().toStdString();
      EXPECT_EQ(F.Label3->text().toStdString(), "OBJname=" + V[5]);
    }
  }
  // A name longer than its place is cut; the whole text shows on hover.
  F.resize(DefaultWidth, 640);
  const std::string Long = "A computer name far longer than any place on the window's top row could hold";
  F.ShowSelection("1", "2", "3", "10.0.0.1", Long, "IP10_0_0_1");
  Settle(F);
  EXPECT_FALSE(Whole(F.Label2));
  EXPECT_EQ(F.Label2->toolTip().toStdString(), "ComputerName=" + Long);
  EXPECT_EQ(F.Label2->text().toStdString(), "ComputerName=" + Long);
  EXPECT_TRUE(Whole(F.Label3));
  EXPECT_EQ(F.Label3->toolTip(), "OBJname=");  // whole: its tip stays the field's name
  F.ShowSelection("1", "2", "3", "10.0.0.1", "short", "IP10_0_0_1");
  Settle(F);
  EXPECT_EQ(F.Label2->toolTip(), "ComputerName=");
}

// Left edge, right edge (x) of each TAB-separated field of the block's only line.
std::vector<std::pair<qreal, qreal>> FieldEdges(const QTextBlock& Block) {
  std::vector<std::pair<qreal, qreal>> Edges;
  const QTextLine Line = Block.layout()->lineAt(0);
  const QString Text = Block.text();
  int Start = 0;
  for (;;) {
    const int End = Text.indexOf('\t', Start) < 0 ? Text.size() : Text.indexOf('\t', Start);
    Edges.emplace_back(Line.cursorToX(Start), Line.cursorToX(End));
    if (End == Text.size()) break;
    Start = End + 1;
  }
  return Edges;
}

TEST_F(MainWindowLayout, PacketLinesInTheSnifferTabStayOneRowInColumnsWithFieldsApart) {
  TForm1 F;
  F.show();  // at the width it opens with
  ASSERT_EQ(F.width(), DefaultWidth);
  F.PageControl1->setCurrentIndex(1);  // "Sniffer"
  // Addresses and ports of every length, the longest line of each field.
  const std::vector<std::string> Lines = {
      "22:11:41:394\t02-00-00-00-00-01\t02-00-00-00-00-02\t0800\t680\t192.168.1.1\t443\t11.0.42.1\t1025\tTCP\tTCP-IP",
      "22:11:41:713\t00-0C-29-4F-A1-0B\tFF-FF-FF-FF-FF-FF\t0806\t60\t192.168.1.20\t0\t192.168.1.1\t0\tIP\twho-has",
      "22:11:41:994\t02-00-00-00-00-01\t02-00-00-00-00-00\t0800\t65535\t255.255.255.255\t65535\t255.255.255."
      "255\t65535\t"
      "ISO-IP\tTCP-IP",
      "22:11:42:073\t02-00-00-00-00-01\t02-00-00-00-00-00\t86DD\t1514\t0.0.0.0\t0\t0.0.0.0\t0\tIP\tPROTO_IPV6",
      "22:11:42:193\t02-00-00-00-00-01\t02-00-00-00-00-00\t0800\t98\t10.0.0.1\t53\t10.10.10.100\t5353\tUDP\tTCP-IP",
      // A sender's field longer than its column.
      "22:11:42:333\t02-00-00-00-00-01\t02-00-00-00-00-00\t0800\t1\t1.2.3.4.5.6.7.8.9\t1\t1.2.3.4\t1\tTCP\tTCP-IP"};
  for (const std::string& L : Lines) LogObjInfo(L);
  for (const std::string& L : Lines) F.OBJinfoSelection->appendPlainText(QString::fromStdString(L));
  for (QPlainTextEdit* Memo : {F.OBJinfo, F.OBJinfoSelection}) {
    F.OBJinfoPages->setCurrentWidget(Memo);
    Settle(F);
    const qreal Char = QFontMetricsF(Memo->font()).horizontalAdvance(QLatin1Char('0'));
    std::vector<std::vector<std::pair<qreal, qreal>>> Edges;
    for (QTextBlock B = Memo->document()->begin(); B.isValid(); B = B.next()) {
      if (!B.text().contains('\t')) continue;  // the program's own log lines
      ASSERT_EQ(B.layout()->lineCount(), 1) << B.text().toStdString();
      Edges.push_back(FieldEdges(B));
      ASSERT_EQ(Edges.back().size(), 11u);
      for (size_t i = 1; i < 11; ++i)
        EXPECT_GE(Edges.back()[i].first - Edges.back()[i - 1].second, Char - 0.01)
            << "field " << i + 1 << " of " << B.text().toStdString();
    }
    ASSERT_EQ(Edges.size(), Lines.size());
    // The fields of the lines of usual widths start in the same columns, and
    // the widest of them fits the memo at the default width.
    for (size_t l = 1; l + 1 < Edges.size(); ++l)
      for (size_t i = 0; i < 11; ++i) EXPECT_EQ(Edges[l][i].first, Edges[0][i].first) << l << " " << i;
    EXPECT_LE(Edges[2].back().second, Memo->viewport()->width()) << "at " << F.width() << " px";
  }
}

// A long line (the folder the user's files were added from) does not leave
// the event log scrolled to its end when the log is first shown (it shows its
// last lines from their start); the notice of
// where the files are kept shows above everything until it is taken back.
TEST_F(MainWindowLayout, TheEventLogOpensScrolledToTheLeftAndTheNoticeShows) {
  TForm1 F;
  for (int i = 0; i < 100; ++i) LogObjInfo("line " + std::to_string(i));
  LogObjInfo("User files: added from /a/folder: " + std::string(300, 'x'));
  F.ShowUserFilesNotice("Your files are kept in /build/app");
  F.show();
  Settle(F);
  EXPECT_TRUE(F.UserFilesNotice->isVisible());
  EXPECT_EQ(F.UserFilesNotice->text(), "Your files are kept in /build/app");
  F.PageControl1->setCurrentIndex(1);  // "Sniffer"
  Settle(F);
  EXPECT_GT(F.OBJinfo->horizontalScrollBar()->maximum(), 0);
  EXPECT_EQ(F.OBJinfo->horizontalScrollBar()->value(), 0);
  EXPECT_EQ(F.OBJinfo->verticalScrollBar()->value(), F.OBJinfo->verticalScrollBar()->maximum());  // the last lines
  EXPECT_GT(F.OBJinfo->verticalScrollBar()->maximum(), 0);
  F.PageControl1->setCurrentIndex(0);  // lines that come while it is hidden
  LogObjInfo(std::string(300, 'y'));
  F.PageControl1->setCurrentIndex(1);
  Settle(F);
  EXPECT_EQ(F.OBJinfo->horizontalScrollBar()->value(), 0);
  F.ShowUserFilesNotice("");
  EXPECT_FALSE(F.UserFilesNotice->isVisible());
}

}  // namespace
