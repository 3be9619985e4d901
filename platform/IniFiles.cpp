// Ini files: parsing and rendering the text, section and key look-up, typed reads and writes.
#include "platform/IniFiles.h"

#include "platform/FileSave.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

void CheckSectionName(const std::string& section) {
  if (Trim(section).empty() || HasLineBreak(section) || section.find(']') != std::string::npos)
    throw EIniFileException("Invalid ini section name \"" + section + "\"");
}

void CheckKeyName(const std::string& key) {
  const std::string t = Trim(key);
  if (t.empty() || HasLineBreak(key) || key.find('=') != std::string::npos || t[0] == '[' || t[0] == ';' || t[0] == '#')
    throw EIniFileException("Invalid ini key name \"" + key + "\"");
}

bool ReadWholeFile(const std::string& name, std::string& text, bool& exists) {
  text.clear();
  exists = false;
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR;
  exists = true;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

}  // namespace

TIniFile::TIniFile(const std::string& fileName) : fileName_(fileName) {}

TIniFile::~TIniFile() = default;

// Rereads the file when it is not the one last seen (changed, replaced, removed).
void TIniFile::Refresh() {
  struct stat st;
  std::int64_t stamp[4] = {-1, -1, -1, -1};
  if (::stat(fileName_.c_str(), &st) == 0) {
    stamp[0] = static_cast<std::int64_t>(st.st_ino);
    stamp[1] = static_cast<std::int64_t>(st.st_size);
    stamp[2] = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    stamp[3] = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
  }
  if (known_ && std::equal(stamp, stamp + 4, stamp_)) return;
  std::string text;
  bool exists = false;
  unreadable_ = !ReadWholeFile(fileName_, text, exists);
  Parse(text);
  std::copy(stamp, stamp + 4, stamp_);
  known_ = true;
}

void TIniFile::Parse(const std::string& text) {
  preamble_.clear();
  sections_.clear();
  sectionIndex_.clear();
  eol_ = "\n";
  std::vector<std::string> warnings;
  std::vector<std::size_t> headerLines;  // line number of each section's header
  // Editors that save "UTF-8 with BOM" put it before the first section header.
  bom_ = text.compare(0, 3, "\xEF\xBB\xBF") == 0;
  std::size_t pos = bom_ ? 3 : 0;
  bool first = true;
  std::size_t lineNo = 0;
  while (pos < text.size()) {
    ++lineNo;
    std::size_t end = text.find_first_of("\r\n", pos);
    const bool lastLine = end == std::string::npos;
    if (lastLine) end = text.size();
    std::string line = text.substr(pos, end - pos);
    std::size_t next = end + 1;
    if (!lastLine && text[end] == '\r' && next < text.size() && text[next] == '\n') ++next;
    if (first && !lastLine) eol_ = text.substr(end, next - end);
    first = false;
    pos = next;

    const std::string t = Trim(line);
    if (!t.empty() && t[0] == '[') {
      const std::size_t close = t.find(']');
      Section s;
      s.name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      s.header = line;
      // The first of duplicates stays; the later one is reported by name.
      const auto [at, added] = sectionIndex_.emplace(UpperCase(s.name), sections_.size());
      if (!added)
        warnings.push_back("line " + std::to_string(lineNo) + ": [" + s.name + "] repeats the section of line " +
                           std::to_string(headerLines[at->second]) + "; its keys are not read");
      headerLines.push_back(lineNo);
      sections_.push_back(std::move(s));
      continue;
    }
    Line l;
    l.text = line;
    const std::size_t eq = line.find('=');
    if (!sections_.empty() && eq != std::string::npos && !t.empty() && t[0] != ';' && t[0] != '#') {
      l.key = Trim(line.substr(0, eq));
      if (!l.key.empty()) l.value = Trim(line.substr(eq + 1));
    }
    (sections_.empty() ? preamble_ : sections_.back().lines).push_back(std::move(l));
  }
  // Told already, or a reread of what we just wrote (which may have moved
  // the lines but not changed the problems).
  const bool tell = warnings != warnings_ && !rereadOwnWrite_;
  warnings_ = std::move(warnings);
  if (tell && onWarning_)
    for (const std::string& w : warnings_) try {
        onWarning_(w);
      } catch (...) {
        // reading never raises
      }
}

std::string TIniFile::Render() const {
  const std::string& eol = eol_;
  std::string out = bom_ ? "\xEF\xBB\xBF" : "";
  for (const Line& l : preamble_) out += l.text + eol;
  for (const Section& s : sections_) {
    out += s.header + eol;
    for (const Line& l : s.lines) out += l.text + eol;
  }
  return out;
}

// Through SaveFile: the file on disk is always either the old or the new one, a link keeps
// pointing at the file it names, and the mode is kept.
void TIniFile::Save() {
  // Would lose what could not be read.
  if (unreadable_) throw EIniFileException("Unable to write to " + fileName_ + ": it could not be read");
  known_ = false;  // reread next time, whatever happens: memory may now differ from the disk
  try {
    SaveFileBytes(fileName_, Render());
  } catch (const EStreamError& e) {
    throw EIniFileException("Unable to write to " + fileName_ + ": " + e.Message());
  }
  const TRestore<bool> reread(rereadOwnWrite_, true);
  Refresh();  // takes the new stamp (and reads back what was just written)
}

TIniFile::Section* TIniFile::FindSection(const std::string& name) {
  const auto it = sectionIndex_.find(UpperCase(name));
  return it == sectionIndex_.end() ? nullptr : &sections_[it->second];
}

void TIniFile::IndexSections() {
  sectionIndex_.clear();
  for (std::size_t i = 0; i < sections_.size(); ++i) sectionIndex_.emplace(UpperCase(sections_[i].name), i);
}

TIniFile::Line* TIniFile::FindKey(Section& section, const std::string& key) {
  for (Line& l : section.lines)
    if (!l.key.empty() && SameText(l.key, key)) return &l;
  return nullptr;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) {
  Refresh();
  Section* s = FindSection(section);
  Line* l = s ? FindKey(*s, key) : nullptr;
  return l ? l->value : def;
}

TIniFile::Section TIniFile::NewSection(const std::string& name) {
  CheckSectionName(name);
  Section fresh;
  fresh.name = Trim(name);
  fresh.header = "[" + fresh.name + "]";
  return fresh;
}

TIniFile::Line TIniFile::KeyLine(const std::string& key, const std::string& value) {
  CheckKeyName(key);
  if (HasLineBreak(value)) throw EIniFileException("Invalid ini value for key \"" + key + "\": line break");
  Line fresh;
  fresh.key = Trim(key);
  fresh.value = Trim(value);
  fresh.text = fresh.key + "=" + value;
  return fresh;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  Section fresh = NewSection(section);
  Line line = KeyLine(key, value);
  Refresh();
  Section* s = FindSection(section);
  if (!s) {
    sectionIndex_.emplace(UpperCase(fresh.name), sections_.size());
    sections_.push_back(std::move(fresh));
    s = &sections_.back();
  }
  if (Line* l = FindKey(*s, key)) {
    if (l->value == line.value) return;  // the file already says so
    l->value = line.value;
    l->text = l->key + "=" + value;
  } else {
    std::size_t at = 0;  // after the last key of the section, so trailing comments stay put
    for (std::size_t i = 0; i < s->lines.size(); ++i)
      if (!s->lines[i].key.empty()) at = i + 1;
    s->lines.insert(s->lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
  }
  Save();
}

std::int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, std::int32_t def) {
  return StrToIntDef(ReadString(section, key, ""), def);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, std::int32_t value) {
  WriteString(section, key, std::to_string(value));
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

double TIniFile::ReadFloat(const std::string& section, const std::string& key, double def) {
  return StrToFloatDef(ReadString(section, key, ""), def);
}

void TIniFile::WriteFloat(const std::string& section, const std::string& key, double value) {
  WriteString(section, key, FloatToStr(value));
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) {
  Refresh();
  std::vector<std::string> keys;
  if (Section* s = FindSection(section))
    for (const Line& l : s->lines)
      if (!l.key.empty()) keys.push_back(l.key);
  return keys;
}

std::vector<std::string> TIniFile::ReadSections() {
  Refresh();
  std::vector<std::string> names;
  for (std::size_t i = 0; i < sections_.size(); ++i)
    if (sectionIndex_.at(UpperCase(sections_[i].name)) == i) names.push_back(sections_[i].name);
  return names;
}

std::vector<std::string> TIniFile::ReadSectionValues(const std::string& section) {
  Refresh();
  std::vector<std::string> values;
  if (Section* s = FindSection(section))
    for (const Line& l : s->lines)
      if (!l.key.empty()) values.push_back(l.key + "=" + l.value);
  return values;
}

void TIniFile::AddSection(const std::string& section, const std::vector<std::pair<std::string, std::string>>& values,
                          const std::string& before) {
  Section fresh = NewSection(section);
  for (const auto& [key, value] : values) fresh.lines.push_back(KeyLine(key, value));
  Refresh();
  if (FindSection(fresh.name)) throw EIniFileException("Ini section \"" + fresh.name + "\" exists already");
  std::size_t at = sections_.size();
  if (const Section* next = before.empty() ? nullptr : FindSection(before)) {
    at = static_cast<std::size_t>(next - sections_.data());
    // Comment lines right above the next section's header are about it: they
    // end the new section, so they stay just above that header.
    if (at > 0) {
      std::vector<Line>& above = sections_[at - 1].lines;
      std::size_t from = above.size();
      while (from > 0 && above[from - 1].key.empty() && !Trim(above[from - 1].text).empty()) --from;
      fresh.lines.insert(fresh.lines.end(), above.begin() + static_cast<std::ptrdiff_t>(from), above.end());
      above.erase(above.begin() + static_cast<std::ptrdiff_t>(from), above.end());
    }
  }
  sections_.insert(sections_.begin() + static_cast<std::ptrdiff_t>(at), std::move(fresh));
  IndexSections();
  Save();
}

bool TIniFile::SectionExists(const std::string& section) {
  Refresh();
  return FindSection(section) != nullptr;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) {
  Refresh();
  Section* s = FindSection(section);
  return s && FindKey(*s, key);
}

void TIniFile::EraseSection(const std::string& section) {
  Refresh();
  const std::size_t before = sections_.size();
  std::erase_if(sections_, [&](const Section& s) { return SameText(s.name, section); });
  if (sections_.size() == before) return;
  IndexSections();
  Save();
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
  Refresh();
  bool changed = false;
  for (Section& s : sections_) {
    if (!SameText(s.name, section)) continue;
    const std::size_t before = s.lines.size();
    std::erase_if(s.lines, [&](const Line& l) { return !l.key.empty() && SameText(l.key, key); });
    changed = changed || s.lines.size() != before;
    break;  // only the first of duplicate sections is seen by the other operations
  }
  if (changed) Save();
}
