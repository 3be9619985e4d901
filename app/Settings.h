// Window settings in "Tamrivel.ini" and the text list files beside the program.
#pragma once

#include <string>
#include <vector>

class QWidget;
class QListWidget;

// Writes the window's section (named by its object name): "Left", "Top",
// "Width", "Height", "DefaultListenPort" when ListenPort is given, then one
// key per named child control of exactly the classes line edit (text), check
// box ("1"/"0"), scroll bar and slider (position), in child order.
void SaveFormSettings(QWidget* Form, const std::string& FileName, const std::string* ListenPort = nullptr);

// Reads the section back; missing keys keep the current values, check boxes
// default to unchecked. Returns "DefaultListenPort" (default "32000").
std::string LoadFormSettings(QWidget* Form, const std::string& FileName);

// Rows of a list file: every line not starting with "#" (empty lines too),
// CR LF read like LF. Raises EFOpenError when the file cannot be read.
std::vector<std::string> ReadListFile(const std::string& FileName);

// Replaces Loader's rows with the file's lines, then appends the ones not
// starting with "#" to Target. An unreadable file logs "AddFileToListBox "
// + the reason to the event log and adds nothing.
void AddFileToListBox(const std::string& FileName, QListWidget* Target, QListWidget* Loader);

// Writes the lines to a text file, replacing it.
void SaveLinesToFile(const std::string& FileName, const std::vector<std::string>& Lines);
