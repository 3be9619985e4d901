#include "app/Settings.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollBar>
#include <QSlider>
#include <QWidget>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "app/Unit_Globals.h"
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

}  // namespace

void SaveFormSettings(QWidget* Form, const std::string& FileName, const std::string* ListenPort) {
  TIniFile Ini(FileName);
  const std::string Section = Text(Form->objectName());
  const QRect G = Form->geometry();
  Ini.WriteInteger(Section, "Left", G.left());
  Ini.WriteInteger(Section, "Top", G.top());
  Ini.WriteInteger(Section, "Width", G.width());
  Ini.WriteInteger(Section, "Height", G.height());
  if (ListenPort) Ini.WriteString(Section, "DefaultListenPort", *ListenPort);
  for (QWidget* W : Form->findChildren<QWidget*>()) {
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
  const std::string Section = Text(Form->objectName());
  const QRect G = Form->geometry();
  Form->setGeometry(Ini.ReadInteger(Section, "Left", G.left()), Ini.ReadInteger(Section, "Top", G.top()),
                    Ini.ReadInteger(Section, "Width", G.width()), Ini.ReadInteger(Section, "Height", G.height()));
  std::string Port = Ini.ReadString(Section, "DefaultListenPort", "32000");
  for (QWidget* W : Form->findChildren<QWidget*>()) {
    const std::string Key = Text(W->objectName());
    switch (KindOf(W)) {
      case TStoredKind::Edit: {
        auto* E = static_cast<QLineEdit*>(W);
        E->setText(QString::fromLatin1(Ini.ReadString(Section, Key, Text(E->text()))));
        break;
      }
      case TStoredKind::Check: static_cast<QCheckBox*>(W)->setChecked(Ini.ReadBool(Section, Key, false)); break;
      case TStoredKind::Bar: {
        auto* B = static_cast<QAbstractSlider*>(W);
        B->setValue(Ini.ReadInteger(Section, Key, B->value()));
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
  for (const std::string& L : Lines)
    if (L.empty() || L[0] != '#') Target->addItem(QString::fromLatin1(L));
}

void SaveLinesToFile(const std::string& FileName, const std::vector<std::string>& Lines) {
  std::ofstream Out(FileName, std::ios::binary | std::ios::trunc);
  if (!Out) throw EFCreateError("Cannot create file \"" + FileName + "\". " + std::strerror(errno));
  for (const std::string& L : Lines) Out << L << "\r\n";
  if (!Out.flush()) throw EWriteError("Stream write error");
}
