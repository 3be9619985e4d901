// Window settings in "Tamrivel.ini" and the text list files beside the program.
#pragma once

#include <QRect>
#include <QStringList>

#include <string>
#include <vector>

class QWidget;
class QListWidget;
class TIniFile;

// The window's stored controls are walked in component order: the names of
// the form's "componentOrder" property first, in that order, then any other
// stored control in child order.
void SetComponentOrder(QWidget* Form, const QStringList& Names);

// Writes the window's section (named by its object name): "Left", "Top",
// "Width", "Height" (fitted to the screen), "DefaultListenPort" when
// ListenPort is given, then one key per named control of exactly the classes
// line edit (text), check box ("1"/"0"), scroll bar and slider (position), in
// component order.
void SaveFormSettings(QWidget* Form, const std::string& FileName, const std::string* ListenPort = nullptr);

// Reads the section back; missing keys keep the current values, check boxes
// default to unchecked. A value the window cannot use (a number that is not
// one or is out of the control's range, a text longer than its edit box
// holds) keeps the current value and is logged; the placement is fitted to
// the screen. Returns "DefaultListenPort" (default "32000").
std::string LoadFormSettings(QWidget* Form, const std::string& FileName);

// Where a value that cannot be used is told (the event log when not given).
using TSettingsLog = void (*)(const std::string& Text);

// An integer or a finite number of the ini file within [Min, Max]. A missing
// key gives Default; a value that is no such number gives Default and logs
// "<file name> [Section] Key=value not usable, Default used".
int ReadIntSetting(TIniFile& Ini, const std::string& Section, const std::string& Key, int Default, int Min, int Max);
double ReadFloatSetting(TIniFile& Ini, const std::string& Section, const std::string& Key, double Default, double Min,
                        double Max, TSettingsLog Log = nullptr);

// Rect moved and cut so that it lies within the available area of the screen
// the window is on (unchanged without a screen).
QRect FitToScreen(const QWidget* Form, const QRect& Rect);

// Rows of a list file: every line, comment lines ("#") included, CR LF read
// like LF. Raises EFOpenError when the file cannot be read.
std::vector<std::string> ReadListFile(const std::string& FileName);

// Replaces Loader's rows with the file's lines, then appends the ones not
// starting with "#" to Target. An unreadable file logs "AddFileToListBox "
// + the reason to the event log and adds nothing. A row whose address is
// refused (RowAddressUsable) is logged with its line number and skipped; a
// dotted address is written the one way (AddressText: "010.0.0.5,5000" is
// the row "10.0.0.5,5000").
void AddFileToListBox(const std::string& FileName, QListWidget* Target, QListWidget* Loader);

// False, with the reason, when the address of an "address,port" row (before
// the first ",") is meant as a dotted address (its last part begins with a
// digit) and IPToNumber refuses it: "192.168.1.999", "10.0.0.0x1F". Host
// names and empty rows pass.
bool RowAddressUsable(const std::string& Row, std::string& Reason);

// Writes the lines (each ending in CR LF) to a text file, replacing it through SaveFile
// (platform/FileSave.h): a link keeps pointing at the file it names, which gets the lines; the
// mode is kept; a failure leaves the old file and raises EFCreateError or EWriteError naming the
// file and the reason.
void SaveLinesToFile(const std::string& FileName, const std::vector<std::string>& Lines);
