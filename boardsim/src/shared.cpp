#include "shared.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace boardsim {

namespace {

const size_t GARBLE_AT = 512;
const size_t MAP_SIZE = BoardLock::MODEL_AT + BoardLock::MODEL_MAX;

}  // namespace

bool BoardLock::open(const std::string& dir) {
  close();
  fd_ = ::open((dir + "/board.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) return false;
  struct stat st;
  if (::fstat(fd_, &st) != 0 ||
      (st.st_size < static_cast<off_t>(MAP_SIZE) && ::ftruncate(fd_, MAP_SIZE) != 0)) {
    close();
    return false;
  }
  void* m = ::mmap(nullptr, MAP_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (m == MAP_FAILED) {
    close();
    return false;
  }
  map_ = static_cast<unsigned char*>(m);
  return true;
}

void BoardLock::close() {
  if (fd_ >= 0 && depth_ > 0) pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
  if (map_) ::munmap(map_, MAP_SIZE);
  if (fd_ >= 0) ::close(fd_);
  map_ = nullptr;
  fd_ = -1;
  depth_ = 0;
}

void BoardLock::lock() {
  if (fd_ < 0 || depth_++ > 0) return;
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTSTP);
  sigaddset(&stops, SIGTTIN);
  sigaddset(&stops, SIGTTOU);
  pthread_sigmask(SIG_BLOCK, &stops, &saved_mask_);
  while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

void BoardLock::unlock() {
  if (fd_ < 0 || depth_ == 0 || --depth_ > 0) return;
  ::flock(fd_, LOCK_UN);
  // A stop that arrived meanwhile takes effect now.
  pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
}

uint64_t BoardLock::get(Field f) const {
  if (!map_) return 0;
  const unsigned char* p = map_ + 8 * f;
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

void BoardLock::put(Field f, uint64_t v) {
  if (!map_) return;
  unsigned char* p = map_ + 8 * f;
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint8_t* BoardLock::garble_bytes() { return map_ ? map_ + GARBLE_AT : nullptr; }

bool edit_state(const std::string& dir, const std::function<void(State&)>& edit) {
  BoardLock l;
  l.open(dir);
  LockGuard g(l);
  State s;
  s.load(dir + "/board.state");
  edit(s);
  if (!s.save()) return false;
  l.bump(BoardLock::STATE_GEN);
  return true;
}

void clear_records(const std::string& dir) {
  BoardLock l;
  l.open(dir);
  LockGuard g(l);
  for (const char* name : {"spi.log", "gpio.log", "datagrams"}) {
    int fd = ::open((dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
  }
  l.bump(BoardLock::LOG_EPOCH);
  l.put(BoardLock::LOG_END, 0);
}

void board_environment(std::map<std::string, std::string>* vars, const std::string& dir,
                       const std::string& preload, bool emulated, bool sanitized) {
  auto append = [vars](const char* name, const std::string& item, const char* sep, bool front) {
    std::string& v = (*vars)[name];
    if (v.empty())
      v = item;
    else
      v = front ? item + sep + v : v + sep + item;
  };
  (*vars)["BOARDSIM_DIR"] = dir;
  if (emulated)
    append("QEMU_SET_ENV", "LD_PRELOAD=" + preload, ",", false);
  else
    append("LD_PRELOAD", preload, ":", true);
  // The sanitizer runtime would insist on coming first in the library order.
  if (sanitized) append("ASAN_OPTIONS", "verify_asan_link_order=0", ":", false);
}

}  // namespace boardsim
