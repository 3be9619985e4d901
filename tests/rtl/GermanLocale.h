// Switches the process to a German locale (decimal comma) for tests of
// locale independence, compiling the locale into a scratch folder when the
// system has only its source; Restore (or the destructor) puts back the
// locale and the environment.
#pragma once

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

class GermanLocale {
 public:
  explicit GermanLocale(const std::filesystem::path& scratch) : saved_(std::setlocale(LC_ALL, nullptr)) {
    if (std::setlocale(LC_ALL, "de_DE.UTF-8")) {
      active_ = true;
      return;
    }
    if (!std::filesystem::exists("/usr/share/i18n/locales/de_DE")) return;
    const std::filesystem::path dir = scratch / "locales";
    std::filesystem::create_directories(dir);
    const std::string cmd = "localedef -i de_DE -f UTF-8 '" + (dir / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return;
    ::setenv("LOCPATH", dir.c_str(), 1);
    changedPath_ = true;
    active_ = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  }
  ~GermanLocale() { Restore(); }
  GermanLocale(const GermanLocale&) = delete;
  GermanLocale& operator=(const GermanLocale&) = delete;
  void Restore() {
    std::setlocale(LC_ALL, saved_.c_str());
    if (changedPath_) ::unsetenv("LOCPATH");
    changedPath_ = false;
  }
  bool Active() const { return active_; }

 private:
  std::string saved_;
  bool active_ = false;
  bool changedPath_ = false;
};
