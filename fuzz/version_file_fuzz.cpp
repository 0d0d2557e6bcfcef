// The version-file reader on arbitrary bytes: it fails without touching the
// record, or fills it completely (nothing of the caller's record is left
// behind) with a commit id of at most 7 characters, terminated inside its
// field. Memory stays bounded (run with -rss_limit_mb and -malloc_limit_mb).
#include <libxml/parser.h>
#include <stdint.h>
#include <string.h>

#include "check.h"
#include "local_version.h"

namespace {

void ignore_message(void*, const char*, ...) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The parser's diagnostics would only slow the run down.
  static const bool quiet = (xmlSetGenericErrorFunc(nullptr, ignore_message), true);
  (void)quiet;
  const char* text = reinterpret_cast<const char*>(data);

  // Two records poisoned differently: a successful read must leave no byte
  // of either behind, a failed one must leave both as they were.
  version_info first, second;
  memset(&first, 0xA5, sizeof first);
  memset(&second, 0x5A, sizeof second);
  const version_info first_before = first, second_before = second;

  const int result = parse_local_version(text, size, &first);
  FUZZ_REQUIRE(result == 0 || result == 1, "result is 0 or 1");
  FUZZ_REQUIRE(parse_local_version(text, size, &second) == result, "same bytes, same result");

  if (result != 0) {
    FUZZ_REQUIRE(memcmp(&first, &first_before, sizeof first) == 0, "record untouched on failure");
    FUZZ_REQUIRE(memcmp(&second, &second_before, sizeof second) == 0, "record untouched on failure");
    return 0;
  }
  const void* end = memchr(first.commit_id_short, 0, sizeof first.commit_id_short);
  FUZZ_REQUIRE(end != nullptr, "commit id terminated inside its field");
  FUZZ_REQUIRE(strlen(first.commit_id_short) <= 7, "commit id of at most 7 characters");
  FUZZ_REQUIRE(memcmp(&first, &second, sizeof first) == 0, "record filled whole");
  return 0;
}
