// Window settings saved to and restored from the ini file (fitted to the screen), and the text
// list files.
#include "app/Settings.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollBar>
#include <QSlider>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <cmath>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "app/Unit_Globals.h"
#include "platform/FileSave.h"
#include "platform/IniFiles.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace {

enum class TStoredKind { None, Edit, Check, Bar };

// Only these exact classes are stored; descendants and unnamed inner parts of
// other controls (a combo box's editor) are skipped.
TStoredKind KindOf(const QWidget* W) {
  if (W->objectName().isEmpty()) return TStoredKind::None;
  const QMetaObject* M = W->metaObject();
  if (M == &QLineEdit::staticMetaObject) return TStoredKind::Edit;
  if (M == &QCheckBox::staticMetaObject) return TStoredKind::Check;
  if (M == &QScrollBar::staticMetaObject || M == &QSlider::staticMetaObject) return TStoredKind::Bar;
  return TStoredKind::None;
}

std::string Text(const QString& S) { return S.toLatin1().toStdString(); }

const char* const ComponentOrderProperty = "componentOrder";

std::vector<QWidget*> StoredControls(QWidget* Form) {
  std::vector<QWidget*> Result;
  for (QWidget* W : Form->findChildren<QWidget*>())
    if (KindOf(W) != TStoredKind::None) Result.push_back(W);
  const QStringList Order = Form->property(ComponentOrderProperty).toStringList();
  auto Rank = [&Order](const QWidget* W) {
    const qsizetype I = Order.indexOf(W->objectName());
    return I < 0 ? Order.size() : I;
  };
  std::stable_sort(Result.begin(), Result.end(), [&](QWidget* A, QWidget* B) { return Rank(A) < Rank(B); });
  return Result;
}

// "<file> [Section] Key=Value not usable, Used used", the file by its name alone.
void NotUsable(const TIniFile& Ini, const std::string& Section, const std::string& Key, const std::string& Value,
               const std::string& Used, TSettingsLog Log = nullptr) {
  const std::string& Path = Ini.FileName();
  const std::string File = Path.substr(Path.rfind('/') + 1);
  (Log ? Log : LogObjInfo)(File + " [" + Section + "] " + Key + "=" + Value + " not usable, " + Used + " used");
}

}  // namespace

void SetComponentOrder(QWidget* Form, const QStringList& Names) { Form->setProperty(ComponentOrderProperty, Names); }

int ReadIntSetting(TIniFile& Ini, const std::string& Section, const std::string& Key, int Default, int Min, int Max) {
  if (!Ini.ValueExists(Section, Key)) return Default;
  const std::string Value = Ini.ReadString(Section, Key, "");
  int V = 0;
  if (TryStrToInt(Value, V) && V >= Min && V <= Max) return V;
  NotUsable(Ini, Section, Key, Value, std::to_string(Default));
  return Default;
}

double ReadFloatSetting(TIniFile& Ini, const std::string& Section, const std::string& Key, double Default, double Min,
                        double Max, TSettingsLog Log) {
  if (!Ini.ValueExists(Section, Key)) return Default;
  const std::string Value = Ini.ReadString(Section, Key, "");
  double V = 0;
  if (TryStrToFloat(Value, V) && std::isfinite(V) && V >= Min && V <= Max) return V;
  NotUsable(Ini, Section, Key, Value, FloatToStr(Default), Log);
  return Default;
}

QRect FitToScreen(const QWidget* Form, const QRect& Rect) {
  const QScreen* Screen = Form->screen();
  if (!Screen) return Rect;
  const QRect Area = Screen->availableGeometry();
  const int W = std::clamp(Rect.width(), 1, Area.width());
  const int H = std::clamp(Rect.height(), 1, Area.height());
  return QRect(std::clamp(Rect.left(), Area.left(), Area.left() + Area.width() - W),
               std::clamp(Rect.top(), Area.top(), Area.top() + Area.height() - H), W, H);
}

void SaveFormSettings(QWidget* Form, const std::string& FileName, const std::string* ListenPort) {
  TIniFile Ini(FileName);
  const std::string Section = Text(Form->objectName());
  const QRect G = FitToScreen(Form, Form->geometry());
  Ini.WriteInteger(Section, "Left", G.left());
  Ini.WriteInteger(Section, "Top", G.top());
  Ini.WriteInteger(Section, "Width", G.width());
  Ini.WriteInteger(Section, "Height", G.height());
  if (ListenPort) Ini.WriteString(Section, "DefaultListenPort", *ListenPort);
  for (QWidget* W : StoredControls(Form)) {
    const std::string Key = Text(W->objectName());
    switch (KindOf(W)) {
      case TStoredKind::Edit: Ini.WriteString(Section, Key, Text(static_cast<QLineEdit*>(W)->text())); break;
      case TStoredKind::Check: Ini.WriteBool(Section, Key, static_cast<QCheckBox*>(W)->isChecked()); break;
      case TStoredKind::Bar: Ini.WriteInteger(Section, Key, static_cast<QAbstractSlider*>(W)->value()); break;
      case TStoredKind::None: break;
    }
  }
}

std::string LoadFormSettings(QWidget* Form, const std::string& FileName) {
  TIniFile Ini(FileName);
  Ini.OnWarning([&FileName](const std::string& W) { LogObjInfo(FileName.substr(FileName.rfind('/') + 1) + " " + W); });
  const std::string Section = Text(Form->objectName());
  const QRect G = Form->geometry();
  constexpr int Far = 1 << 20;  // beyond any screen; fitted below
  const int Left = ReadIntSetting(Ini, Section, "Left", G.left(), -Far, Far);
  const int Top = ReadIntSetting(Ini, Section, "Top", G.top(), -Far, Far);
  const int Width = ReadIntSetting(Ini, Section, "Width", G.width(), 1, Far);
  const int Height = ReadIntSetting(Ini, Section, "Height", G.height(), 1, Far);
  Form->setGeometry(FitToScreen(Form, QRect(Left, Top, Width, Height)));
  std::string Port = Ini.ReadString(Section, "DefaultListenPort", "32000");
  for (QWidget* W : StoredControls(Form)) {
    const std::string Key = Text(W->objectName());
    switch (KindOf(W)) {
      case TStoredKind::Edit: {
        auto* E = static_cast<QLineEdit*>(W);
        const std::string Value = Ini.ReadString(Section, Key, Text(E->text()));
        if (Value.size() > size_t(E->maxLength()))
          NotUsable(Ini, Section, Key, Value.substr(0, 40) + "... (" + std::to_string(Value.size()) + " characters)",
                    Text(E->text()));
        else
          E->setText(QString::fromLatin1(Value));
        break;
      }
      case TStoredKind::Check: static_cast<QCheckBox*>(W)->setChecked(Ini.ReadBool(Section, Key, false)); break;
      case TStoredKind::Bar: {
        auto* B = static_cast<QAbstractSlider*>(W);
        B->setValue(ReadIntSetting(Ini, Section, Key, B->value(), B->minimum(), B->maximum()));
        break;
      }
      case TStoredKind::None: break;
    }
  }
  return Port;
}

std::vector<std::string> ReadListFile(const std::string& FileName) {
  std::ifstream In(FileName, std::ios::binary);
  if (!In) throw EFOpenError("Cannot open file \"" + FileName + "\". " + std::strerror(errno));
  std::vector<std::string> Rows;
  std::string Line;
  while (std::getline(In, Line)) {
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    Rows.push_back(Line);
  }
  return Rows;
}

namespace {
// The row with its address written the one way: "010.0.0.5,5000" is the
// server 10.0.0.5 (as IPToNumber and the socket read it), shown and sent on
// as such.
std::string RowWithAddressText(const std::string& Row) {
  const size_t Comma = Row.find(',');
  const std::string Address = Trim(Row.substr(0, Comma));
  const std::string Written = AddressText(Address);
  return Written == Address ? Row : Written + (Comma == std::string::npos ? "" : Row.substr(Comma));
}
}  // namespace

void AddFileToListBox(const std::string& FileName, QListWidget* Target, QListWidget* Loader) {
  std::vector<std::string> Lines;
  try {
    Lines = ReadListFile(FileName);
  } catch (const std::exception& E) {
    LogObjInfo(std::string("AddFileToListBox ") + E.what());
    return;
  }
  if (Loader) {
    Loader->clear();
    for (const std::string& L : Lines) Loader->addItem(QString::fromLatin1(L));
  }
  const std::string File = FileName.substr(FileName.rfind('/') + 1);
  for (size_t I = 0; I < Lines.size(); ++I) {
    const std::string& L = Lines[I];
    if (!L.empty() && L[0] == '#') continue;
    std::string Reason;
    if (!RowAddressUsable(L, Reason)) {
      LogObjInfo("AddFileToListBox " + File + " line " + std::to_string(I + 1) + " \"" + ShownText(L) +
                 "\": " + Reason + "; skipped");
      continue;
    }
    Target->addItem(QString::fromLatin1(RowWithAddressText(L)));
  }
}

bool RowAddressUsable(const std::string& Row, std::string& Reason) {
  const std::string Address = Trim(Row.substr(0, Row.find(',')));
  // A host name's last part begins with a letter: one that begins with a
  // digit is meant as a dotted address, and one IPToNumber refuses would
  // reach another computer or none.
  const size_t Last = Address.rfind('.') == std::string::npos ? 0 : Address.rfind('.') + 1;
  if (Last >= Address.size() || Address[Last] < '0' || Address[Last] > '9') return true;
  try {
    IPToNumber(Address);
    return true;
  } catch (const std::exception& E) {
    Reason = E.what();
    return false;
  }
}

void SaveLinesToFile(const std::string& FileName, const std::vector<std::string>& Lines) {
  std::string Text;
  for (const std::string& L : Lines) Text += L + "\r\n";
  SaveFileBytes(FileName, Text);
}
