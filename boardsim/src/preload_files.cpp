// Files: /etc/krv_version.xml is read from <dir>/krv_version.xml, and the
// path named by fs.deny is refused (EACCES) wherever it is opened, looked
// at or checked.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "preload.h"

namespace boardsim::preload {
namespace {

const char VERSION_PATH[] = "/etc/krv_version.xml";

using fopen_t = FILE* (*)(const char*, const char*);
using stat_t = int (*)(const char*, struct stat*);

REAL(fopen, fopen_t)
REAL(stat, stat_t)
#ifdef __GLIBC__
using stat64_t = int (*)(const char*, struct stat64*);
REAL(fopen64, fopen_t)
REAL(stat64, stat64_t)
#endif

enum class Which : uint8_t { plain, large };  // fopen or fopen64

FILE* fopen_any(const char* path, const char* mode, Which which) {
  std::string redirect;
  if (path && path[0] == '/' && !in_sim) {
    Inside inside;
    SimBoard* b = current_board();
    if (b) {
      if (denied(b, path)) {
        errno = EACCES;
        return nullptr;
      }
      version_redirect(b, path, &redirect);
    }
  }
  if (!redirect.empty()) path = redirect.c_str();
#ifdef __GLIBC__
  if (which == Which::large) return real_fopen64()(path, mode);
#endif
  (void)which;
  return real_fopen()(path, mode);
}

// libxml2 looks at a file with stat() before it opens it: the version file
// must be found there too (and be denied there like everywhere else).
// Returns the path to look at, or null with *result when denied.
const char* stat_path(const char* path, std::string* redirect, int* result) {
  if (in_sim || !path || strcmp(path, VERSION_PATH) != 0) return path;
  Inside inside;
  SimBoard* b = current_board();
  if (!b) return path;
  if (denied(b, path)) {
    *result = fail(EACCES);
    return nullptr;
  }
  version_redirect(b, path, redirect);
  return redirect->c_str();
}

}  // namespace

bool denied(SimBoard* b, const char* path) {
  std::string d = b->state.get("fs.deny");
  return !d.empty() && d == path;
}

bool version_redirect(SimBoard* b, const char* path, std::string* redirect) {
  if (strcmp(path, VERSION_PATH) != 0) return false;
  *redirect = b->path("krv_version.xml");
  return true;
}

}  // namespace boardsim::preload

using namespace boardsim::preload;

extern "C" {

EXPORT FILE* fopen(const char* __restrict path, const char* __restrict mode) {
  return fopen_any(path, mode, Which::plain);
}

EXPORT int stat(const char* path, struct stat* st) __THROW {
  int result = -1;
  std::string redirect;
  const char* p = stat_path(path, &redirect, &result);
  return p ? real_stat()(p, st) : result;
}

#ifdef __GLIBC__
EXPORT FILE* fopen64(const char* __restrict path, const char* __restrict mode) {
  return fopen_any(path, mode, Which::large);
}

EXPORT int stat64(const char* path, struct stat64* st) __THROW {
  int result = -1;
  std::string redirect;
  const char* p = stat_path(path, &redirect, &result);
  return p ? real_stat64()(p, st) : result;
}
#endif

}  // extern "C"

