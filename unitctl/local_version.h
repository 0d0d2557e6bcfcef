// The unit's local version file and its comparison with the MCU's firmware.
#pragma once

#include "mcu.h"

#define VERSION_FILE_PATH "/etc/krv_version.xml"

int read_local_version(version_info* version);
int compare_versions(const version_info* a, const version_info* b);

// The -v action: prints the local version; returns the exit status.
int print_local_version(void);
// The -f action on an open SPI device; returns the exit status.
int check_versions(int fd);
