// Ini files: "[section]" lines and "key=value" lines, plain single-byte text.
//
// - Sections and keys are matched without regard to ASCII case; the first of
//   duplicates wins (a later section of the same name is kept on writing but
//   never read, and is reported, see OnWarning). Keys and values are read
//   with surrounding blanks removed.
// - Lines that are neither (comments, blank lines, lines without "=") and the
//   order of sections and keys are kept on writing; a new key goes after the
//   last key of its section, a new section at the end of the file.
// - A line ends at LF, CR LF or a lone CR (old Mac editors), so a header
//   after a lone CR starts its own section. A rewritten file keeps the line
//   end of its first line. A leading UTF-8 byte-order mark is skipped on
//   reading and kept on writing.
// - A missing file reads as empty; the first write creates it.
// - Every write goes to disk at once, through SaveFile (platform/FileSave.h):
//   a reader never sees half a file, a failed write leaves the file as it was,
//   a link keeps pointing at the file it names, which gets the write, and the
//   file keeps its mode. Before each call the object rereads the file when it
//   has changed on disk, so several TIniFile objects on one file, or one kept
//   open for long, never undo each other's writes.
// - Numbers are written and read in the C locale whatever setlocale says.
//
// Errors: a file that cannot be written raises EIniFileException "Unable to
// write to <file>: <what SaveFile says, with the reason>" (also a file that
// exists but could not be read, which a write would lose); a name or value
// that the format cannot hold (empty name, line breaks, "=" in a key, "]" in
// a section name) raises EIniFileException.
// Reading never raises: unreadable data gives the default.
// Thread safety: one object per thread; separate objects may share a file.
#pragma once

#include "rtl/SysUtils.h"

#include <concepts>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

RTL_DECLARE_EXCEPTION(EIniFileException, Exception);

class TIniFile {
 public:
  explicit TIniFile(const std::string& fileName);
  ~TIniFile();
  TIniFile(const TIniFile&) = delete;
  TIniFile& operator=(const TIniFile&) = delete;

  const std::string& FileName() const { return fileName_; }

  // What the file says that cannot be read as written ("line 9: [LAN] repeats
  // the section of line 2; its keys are not read"), as found when the file
  // was last read; one text per problem, without the file's name.
  const std::vector<std::string>& Warnings() const { return warnings_; }
  // Handler for those texts, called as a read finds them: once per problem,
  // and again only after the file changed so that the problems are others
  // (rewriting a key does not repeat them). It must not throw.
  void OnWarning(std::function<void(const std::string&)> handler) { onWarning_ = std::move(handler); }

  std::string ReadString(const std::string& section, const std::string& key, const std::string& def);
  void WriteString(const std::string& section, const std::string& key, const std::string& value);

  // Decimal, or hexadecimal after "$" or "0x"; malformed or out of range: def.
  std::int32_t ReadInteger(const std::string& section, const std::string& key, std::int32_t def);
  void WriteInteger(const std::string& section, const std::string& key, std::int32_t value);

  // Read as an integer: non-zero is true. Written as "1" or "0".
  bool ReadBool(const std::string& section, const std::string& key, bool def);
  void WriteBool(const std::string& section, const std::string& key, bool value);

  // Decimal point text (FloatToStr / StrToFloat of rtl); malformed: def.
  double ReadFloat(const std::string& section, const std::string& key, double def);
  void WriteFloat(const std::string& section, const std::string& key, double value);
  // A single-precision value is written in its own shortest form ("12.3", not
  // the digits of its double widening), and reads back as the same single.
  template <class T>
  requires std::same_as<T, float>
  void WriteFloat(const std::string& section, const std::string& key, T value) {
    WriteString(section, key, FloatToStr(value));
  }

  // Key names of a section in file order; empty for a missing section.
  std::vector<std::string> ReadSection(const std::string& section);
  // Section names in file order.
  std::vector<std::string> ReadSections();
  // "key=value" texts of a section in file order.
  std::vector<std::string> ReadSectionValues(const std::string& section);

  // Adds the section with the key=value pairs, in their order, in one write
  // (no reader sees it half written): just before the section `before`, or
  // at the end when `before` is empty or missing. Comment lines just above
  // `before` stay with it. Raises EIniFileException when the section exists.
  void AddSection(const std::string& section, const std::vector<std::pair<std::string, std::string>>& values,
                  const std::string& before = "");

  bool SectionExists(const std::string& section);
  bool ValueExists(const std::string& section, const std::string& key);

  // Removes a section with its keys and the lines within it.
  void EraseSection(const std::string& section);
  void DeleteKey(const std::string& section, const std::string& key);

  // Every write has already reached the disk, so there is nothing left to
  // flush; kept for callers written against buffered ini files.
  void UpdateFile() {}

 private:
  struct Line {
    std::string text;   // the line as read (without its line end)
    std::string key;    // key of a "key=value" line, empty otherwise
    std::string value;  // its value
  };
  struct Section {
    std::string name;
    std::string header;  // the "[name]" line as read
    std::vector<Line> lines;
  };

  // A new "[name]" section, and a new "key=value" line; both raise
  // EIniFileException for a name, key or value the file cannot hold.
  static Section NewSection(const std::string& name);
  static Line KeyLine(const std::string& key, const std::string& value);

  void Refresh();
  void Parse(const std::string& text);
  std::string Render() const;
  void Save();
  Section* FindSection(const std::string& name);
  // Makes sectionIndex_ name the first section of each name again.
  void IndexSections();
  Line* FindKey(Section& section, const std::string& key);

  std::string fileName_;
  std::vector<Line> preamble_;  // lines before the first section
  std::vector<Section> sections_;
  // Upper-case section name -> index of its first section in sections_: a
  // lookup costs the same however many sections the file has.
  std::unordered_map<std::string, std::size_t> sectionIndex_;
  std::string eol_ = "\n";  // line end of the first line, used on writing
  std::vector<std::string> warnings_;
  std::function<void(const std::string&)> onWarning_;
  bool rereadOwnWrite_ = false;  // Refresh after Save: the problems are the same
  bool bom_ = false;             // the file starts with a UTF-8 byte-order mark
  bool unreadable_ = false;      // the file exists but could not be read: never overwrite it
  // What the file on disk looked like when last read or written.
  bool known_ = false;
  std::int64_t stamp_[4] = {0, 0, 0, 0};
};
