#include "boardsim/board.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "logs.h"
#include "netns.h"
#include "shared.h"
#include "state.h"

extern char** environ;

namespace boardsim {

namespace {

// Calls a hook of the preload library when this process has it loaded.
void call_hook(const char* name) {
  void* sym = dlsym(RTLD_DEFAULT, name);
  if (sym) reinterpret_cast<void (*)()>(sym)();
}

// While it lives, this process's own file calls bypass the preload library
// (when linked in): the test kit holds the board lock meanwhile, and the
// library would wait for it.
struct Bypass {
  Bypass() { call_hook("boardsim_enter"); }
  ~Bypass() { call_hook("boardsim_leave"); }
};

std::string state_path(const std::string& dir) { return dir + "/board.state"; }

void write_file(const std::string& path, const std::string& data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::write(fd, data.data() + off, data.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  ::close(fd);
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  if (s.empty()) return out;
  size_t pos = 0;
  for (;;) {
    size_t next = s.find(sep, pos);
    out.push_back(s.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
    if (next == std::string::npos) break;
    pos = next + 1;
  }
  return out;
}

}  // namespace

Board::Board() {
  const char* tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/boardsim.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    std::perror("boardsim: mkdtemp");
    std::abort();
  }
  dir_ = buf.data();
  // The test is the board's first process: it decides, once for the board,
  // which network namespace is the machine's (net.mode=real).
  BoardLock lock;
  if (lock.open(dir_)) board_reference_netns(dir_, lock);
}

Board::~Board() {
  const char* env = getenv("BOARDSIM_DIR");
  if (env && dir_ == env) {
    call_hook("boardsim_detach");
    unsetenv("BOARDSIM_DIR");
  }
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void Board::set(const std::string& key, const std::string& value) {
  Bypass bypass;
  edit_state(dir_, [&](State& s) {
    if (value.empty()) s.erase(key); else s.set(key, value);
  });
}

void Board::set(const std::string& key, long long value) { set(key, std::to_string(value)); }

std::string Board::get(const std::string& key) const {
  State s;
  s.load(state_path(dir_));
  return s.get(key);
}

void Board::write_version_file(const std::string& xml) {
  write_file(dir_ + "/krv_version.xml", xml);
}

void Board::remove_version_file() { ::unlink((dir_ + "/krv_version.xml").c_str()); }

std::vector<Exchange> Board::spi_log() const {
  call_hook("boardsim_flush");
  return parse_spi_log(read_file(dir_ + "/spi.log"));
}

std::vector<SpiConfig> Board::spi_config_log() const {
  return parse_spi_config(read_file(dir_ + "/spi.log"));
}

std::vector<std::string> Board::notes() const {
  std::vector<std::string> out;
  for (auto& n : note_records()) out.push_back(std::move(n.text));
  return out;
}

std::vector<Note> Board::note_records() const {
  return parse_notes(read_file(dir_ + "/spi.log"));
}

std::vector<Collision> Board::collisions() const {
  return parse_collisions(read_file(dir_ + "/spi.log"));
}

std::vector<GpioWrite> Board::gpio_log() const {
  return parse_gpio_log(read_file(dir_ + "/gpio.log"));
}

std::vector<std::vector<uint8_t>> Board::datagrams() const {
  std::vector<std::vector<uint8_t>> out;
  for (auto& d : datagram_records()) out.push_back(std::move(d.bytes));
  return out;
}

std::vector<Datagram> Board::datagram_records() const {
  return parse_datagrams(read_file(dir_ + "/datagrams"));
}

std::vector<uint8_t> Board::flash() const {
  std::string s = read_file(dir_ + "/flash.bin");
  return std::vector<uint8_t>(s.begin(), s.end());
}

void Board::clear_logs() {
  call_hook("boardsim_reset_logs");
  Bypass bypass;
  clear_records(dir_);
}

void Board::attach() const {
  call_hook("boardsim_detach");
  setenv("BOARDSIM_DIR", dir_.c_str(), 1);
}

RunResult Board::run(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env, double timeout_s) const {
  RunResult r;
  if (argv.empty()) return r;
  call_hook("boardsim_flush");

  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    const char* eq = strchr(*e, '=');
    if (eq) vars[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  std::vector<std::string> args = emulator();
#ifdef BOARDSIM_SANITIZE
  const bool sanitized = true;
#else
  const bool sanitized = false;
#endif
  board_environment(&vars, dir_, BOARDSIM_PRELOAD_PATH, !args.empty(), sanitized);
  for (const auto& [k, v] : env) {
    if (v.empty()) vars.erase(k); else vars[k] = v;
  }

  args.insert(args.end(), argv.begin(), argv.end());
  std::vector<std::string> envs;
  for (const auto& [k, v] : vars) envs.push_back(k + "=" + v);
  std::vector<char*> cargv, cenv;
  for (auto& a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  for (auto& e : envs) cenv.push_back(e.data());
  cenv.push_back(nullptr);

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return r;
  if (pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return r;
  }
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execve(cargv[0], cargv.data(), cenv.data());
    char msg[512];
    int n = snprintf(msg, sizeof msg, "boardsim: cannot run %s: %s\n", cargv[0], strerror(errno));
    if (n > 0) (void)!::write(2, msg, static_cast<size_t>(n));
    _exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    ::close(out[0]);
    ::close(err[0]);
    return r;
  }
  setpgid(pid, pid);

  auto deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(timeout_s));
  pollfd pfd[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int open_pipes = 2;
  bool killed = false;
  while (open_pipes > 0) {
    int wait_ms = -1;
    if (!killed) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        killed = true;
        r.timed_out = true;
      } else {
        wait_ms = static_cast<int>(left > 1000 ? 1000 : left) + 1;
      }
    }
    int n = poll(pfd, 2, wait_ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (pfd[i].fd < 0 || !(pfd[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[8192];
      ssize_t got = ::read(pfd[i].fd, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ::close(pfd[i].fd);
        pfd[i].fd = -1;
        --open_pipes;
      } else {
        sinks[i]->append(buf, static_cast<size_t>(got));
      }
    }
  }
  for (auto& p : pfd)
    if (p.fd >= 0) ::close(p.fd);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (WIFEXITED(status)) {
    r.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    r.status = -1;
    r.signal = WTERMSIG(status);
  }
  return r;
}

std::string unitctl_path() { return BOARDSIM_UNITCTL_PATH; }
std::string mcuflash_path() { return BOARDSIM_MCUFLASH_PATH; }
std::string launcher_path() { return BOARDSIM_LAUNCHER_PATH; }
std::vector<std::string> emulator() { return split(BOARDSIM_EMULATOR, '\x1f'); }

}  // namespace boardsim
