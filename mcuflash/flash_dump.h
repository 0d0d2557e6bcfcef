// -d: saving the flash. Restart into the bootloader, read the flash range
// (properties 3 and 4), read the whole flash with one read memory, packet
// by packet, into a file; then restart the MCU into its unchanged firmware,
// whatever happened after the lines were driven (nothing is ever erased).
#pragma once

#include <stdint.h>

#include "flash_run.h"

struct dump_outcome {
  gpio_failure gpio;     // a line that could not be driven
  kboot_result link;     // the link's result (error_status: a refused property or read)
  flash_check range;     // the flash range, or the property refused
  int write_error = 0;   // errno of a failed write to the file
  int stopped = 0;       // the stop signal that ended the read, or 0
  uint32_t saved = 0;    // bytes that reached the file
};

// On an open, configured and locked device; `fd` is the file being written.
// The device stays open (the bus held) through the final restart.
dump_outcome flash_dump(const kboot_link* link, int fd, progress* shown);
