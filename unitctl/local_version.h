// The unit's local version file and its comparison with the MCU's firmware.
#pragma once

#include <stddef.h>

#include "mcu.h"

#define VERSION_FILE_PATH "/etc/krv_version.xml"

// Reads VERSION_FILE_PATH: 0 when read, 1 when it is missing, unreadable,
// not a regular file, larger than a version file can be, or not parsable.
int read_local_version(version_info* version);
// The same from the file's bytes already in memory.
int parse_local_version(const char* data, size_t len, version_info* version);
int compare_versions(const version_info* a, const version_info* b);

