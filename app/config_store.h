#pragma once

#include <string>

namespace vxr {

// The per-user configuration of one program: sections of named string values in an INI file,
// $XDG_CONFIG_HOME/Kavendi/Calvera/<application name>.ini (~/.config when XDG_CONFIG_HOME is
// unset, empty or relative). Each call opens the file afresh, so what one call writes the next
// reads, and nothing is held open between calls.
class CConfigStore {
 public:
  // The program's store; its folder is made at once, so the first write has somewhere to go.
  explicit CConfigStore(std::string app_name);
  // A store in a given file, for tests.
  CConfigStore(std::string app_name, std::string file_path);

  static std::string DefaultPath(const std::string& app_name);

  const std::string& AppName() const { return app_name_; }
  const std::string& FilePath() const { return file_path_; }

  // The stored string, or fallback when the entry is missing or holds no single string (a
  // hand-edited list, for example).
  std::string Read(const std::string& section, const std::string& key,
                   const std::string& fallback) const;
  // The stored string, or a list written with commas (allow=10.0.0.0/8,192.168.0.0/16) joined
  // back with commas; fallback when the entry is missing.
  std::string ReadCommaList(const std::string& section, const std::string& key,
                            const std::string& fallback) const;
  // Failures are not reported: the value is simply not stored. A file that holds a stream
  // passphrase is left readable and writable by its owner only.
  void Write(const std::string& section, const std::string& key, const std::string& value);
  void Remove(const std::string& section, const std::string& key);

  // Makes the file its owner's alone when it holds a stream passphrase.
  void KeepSecretsPrivate() const;

 private:
  std::string app_name_;
  std::string file_path_;
};

}  // namespace vxr
