#include "flash_dump.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "mcu_state.h"
#include "stop_signals.h"

namespace {

// Writes all of `length` bytes; 0, or errno.
int write_all(int fd, const uint8_t* bytes, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return 0;
}

// The read memory of the whole range, stored in the file in blocks.
void read_flash(const kboot_link* link, int fd, progress* shown, dump_outcome* out) {
  const uint32_t size = out->range.flash_size;
  out->link = kboot_read_memory(link, out->range.flash_start, size);
  if (out->link.status != kboot_status::ok) return;
  progress_phase(shown, "Reading", size);
  uint8_t block[16 * KBOOT_DATA_CHUNK];
  size_t held = 0;
  for (uint32_t done = 0; done < size;) {
    if (stop_requested != 0) {
      out->stopped = stop_requested;
      return;
    }
    const uint32_t left = size - done;
    const size_t length = left < KBOOT_DATA_CHUNK ? left : KBOOT_DATA_CHUNK;
    out->link = kboot_read_data(link, block + held, length);
    if (out->link.status != kboot_status::ok) return;
    held += length;
    done += static_cast<uint32_t>(length);
    progress_add(shown, static_cast<uint32_t>(length));
    if (held + KBOOT_DATA_CHUNK > sizeof block || done == size) {
      out->write_error = write_all(fd, block, held);
      if (out->write_error != 0) return;
      out->saved += static_cast<uint32_t>(held);
      held = 0;
    }
  }
  out->link = kboot_read_generic_response(link);
}

}  // namespace

dump_outcome flash_dump(const kboot_link* link, int fd, progress* shown) {
  stop_signals_deferred();
  dump_outcome out;
  if (gpio_init_lines(link->verbose, &out.gpio) != 0) return out;
  flash_outcome entered;
  const int failed = flash_enter_bootloader(link, shown, &entered);
  out.gpio = entered.gpio;
  out.link = entered.link;
  if (out.gpio.error != 0) return out;
  if (failed == 0 && stop_requested == 0) {
    out.link = flash_read_range(link, &out.range);
    if (out.link.status == kboot_status::ok) read_flash(link, fd, shown, &out);
  }
  if (out.stopped == 0) out.stopped = stop_requested;
  progress_end(shown);
  // Nothing was erased: the MCU goes back to the firmware it had, with the
  // bus still this run's.
  if (mcu_reboot(&out.gpio) == 0) mcu_where = MCU_UNCHANGED;
  return out;
}
