// Key=value settings of one simulated board, kept in <dir>/board.state so
// that successive runs of the programs see one board.
#pragma once

#include <map>
#include <string>

namespace boardsim {

class State {
 public:
  // Reads the file; a missing file gives an empty state (all defaults).
  bool load(const std::string& path);
  // Writes the file back (atomically, through a temporary file and rename).
  bool save();
  // save() only when something changed since the last load or save.
  void save_if_dirty();
  bool dirty() const { return dirty_; }

  bool has(const std::string& key) const;
  std::string get(const std::string& key, const std::string& def = "") const;
  long long get_int(const std::string& key, long long def = 0) const;
  void set(const std::string& key, const std::string& value);
  void set_int(const std::string& key, long long value);
  void erase(const std::string& key);

  // Count-type fault: "N" fires N more times (decremented, erased at 0),
  // "-1" fires always, unset or "0" never fires. Returns true when it fires.
  bool take(const std::string& key);

  const std::map<std::string, std::string>& all() const { return kv_; }

 private:
  std::map<std::string, std::string> kv_;
  std::string path_;
  bool dirty_ = false;
};

}  // namespace boardsim
