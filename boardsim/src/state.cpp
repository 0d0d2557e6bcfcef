#include "state.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace boardsim {

bool State::load(const std::string& path) {
  path_ = path;
  kv_.clear();
  dirty_ = false;
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
    kv_[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return true;
}

bool State::save() {
  if (path_.empty()) return false;
  // A temporary file of this process's own: the test kit and a program may
  // write the same board at once.
  std::string tmp = path_ + ".tmp." + std::to_string(::getpid());
  {
    std::ofstream out(tmp, std::ios::trunc);
    if (!out) return false;
    for (const auto& [k, v] : kv_) out << k << '=' << v << '\n';
    if (!out.flush()) return false;
  }
  if (std::rename(tmp.c_str(), path_.c_str()) != 0) return false;
  dirty_ = false;
  return true;
}

void State::save_if_dirty() {
  if (dirty_) save();
}

bool State::has(const std::string& key) const { return kv_.count(key) != 0; }

std::string State::get(const std::string& key, const std::string& def) const {
  auto it = kv_.find(key);
  return it == kv_.end() ? def : it->second;
}

long long State::get_int(const std::string& key, long long def) const {
  auto it = kv_.find(key);
  if (it == kv_.end() || it->second.empty()) return def;
  return std::strtoll(it->second.c_str(), nullptr, 0);
}

void State::set(const std::string& key, const std::string& value) {
  auto it = kv_.find(key);
  if (it != kv_.end() && it->second == value) return;
  kv_[key] = value;
  dirty_ = true;
}

void State::set_int(const std::string& key, long long value) { set(key, std::to_string(value)); }

void State::erase(const std::string& key) {
  if (kv_.erase(key)) dirty_ = true;
}

bool State::take(const std::string& key) {
  long long n = get_int(key, 0);
  if (n == 0) return false;
  if (n > 0) {
    if (n == 1) erase(key); else set_int(key, n - 1);
  }
  return true;
}

}  // namespace boardsim
