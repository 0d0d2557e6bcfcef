// mcuflash: downloads a firmware image into the MCU through its KBoot ROM
// bootloader, with -d saves the flash to a file, or with -r only restarts
// the MCU. This file alone decides what is printed when something fails
// and how the program ends.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "exit_with_error.h"
#include "flash_dump.h"
#include "flash_run.h"
#include "image.h"
#include "image_format.h"
#include "kboot_link.h"
#include "mcu_state.h"
#include "monotonic_clock.h"
#include "program_version.h"
#include "spidev.h"
#include "stop_signals.h"

namespace {

void print_usage(const char* program) {
  printf("Usage: %s [OPTIONS] binary-file\n"
         "  -h                   Print this help and exit\n"
         "  -V                   Print mcuflash's version and exit\n"
         "  -v                   Enable verbose output\n"
         "  -r                   Reboot MCU\n"
         "  -c                   Read the image back and compare before starting it\n"
         "  -d FILE              Save the MCU's flash to FILE (no image, no -c)\n",
         program);
}

[[noreturn]] void exit_set_up(const spidev_failure& failure) {
  errno = failure.error;
  exit_with_error(failure.what);
}

// Once the MCU has been touched, where the run left it and what recovers
// it, on standard error after the run's own message.
void report_state(void) {
  const char* state = mcu_state_text(mcu_where);
  if (state == nullptr) return;
  fflush(stdout);
  fprintf(stderr, "mcuflash: %s\n", state);
}

// "<path>: <why>" on standard error, after what standard output holds.
void report_path(const char* path, const char* why) {
  fflush(stdout);
  fprintf(stderr, "%s: %s\n", path, why);
}

int report_image(const flash_image& image, const char* path) {
  char why[96];
  image_problem_text(&image, why, sizeof why);
  report_path(path, why);
  return 1;
}

int report_layout(const layout_fault& fault, const char* path) {
  char why[256];
  image_describe(&fault, why, sizeof why);
  report_path(path, why);
  return 1;
}

// "0x00000000-0x0003ffff": the first and the last address of a range.
void print_range(uint64_t start, uint64_t end) {
  if (end <= start)
    fprintf(stderr, "empty");
  else
    fprintf(stderr, "0x%08llx-0x%08llx", static_cast<unsigned long long>(start),
            static_cast<unsigned long long>(end - 1));
}

// The link's failures, each in its own words; a bootloader status is
// named on standard error after its line. A refused exchange ends the
// program here, after the line saying where the MCU is.
void report_link(const kboot_result& r) {
  switch (r.status) {
    case kboot_status::exchange_failed: {
      fflush(stdout);
      errno = static_cast<int>(r.value);
      perror("can't send spi message");
      report_state();
      exit(1);
    }
    case kboot_status::no_answer:
      printf("No answer from KBoot while waiting for %s\n", r.awaited);
      break;
    case kboot_status::no_ack:
      printf("No ack received: %02x\n", static_cast<unsigned>(r.value));
      break;
    case kboot_status::bad_crc:
      printf("Wrong crc checksum:\ncrc calc: %u 0x%04x\ncrc recv: %u 0x%04x\n",
             static_cast<unsigned>(r.crc_calculated), static_cast<unsigned>(r.crc_calculated),
             static_cast<unsigned>(r.crc_received), static_cast<unsigned>(r.crc_received));
      break;
    case kboot_status::error_status:
      printf("Generic message error: %u 0x%04x\n", static_cast<unsigned>(r.value),
             static_cast<unsigned>(r.value));
      fflush(stdout);
      fprintf(stderr, "mcuflash: bootloader status %u: %s\n", static_cast<unsigned>(r.value),
              kboot_status_name(r.value));
      break;
    case kboot_status::bad_packet:
      printf("Unexpected packet from KBoot while waiting for %s: %02x\n", r.awaited,
             static_cast<unsigned>(r.value));
      break;
    case kboot_status::ok:
      break;
  }
}

// A bootloader that refused a flash-range property: the range could not
// be checked (a flash goes on without the check).
void report_range(const flash_check& check) {
  if (check.refused_property == 0) return;
  fflush(stdout);
  fprintf(stderr,
          "mcuflash: the flash range could not be checked: property %lu refused with status %lu "
          "(%s)\n",
          static_cast<unsigned long>(check.refused_property),
          static_cast<unsigned long>(check.refused_status), kboot_status_name(check.refused_status));
}

// Prints what ended a run and returns the exit status.
int report_run(const flash_outcome& outcome, const image_layout& layout, const char* path) {
  report_range(outcome.check);
  if (outcome.gpio.error != 0) {
    report_path(outcome.gpio.path, strerror(outcome.gpio.error));
    if (outcome.written)
      fprintf(stderr, "%s was written, but the MCU could not be restarted\n", path);
    report_state();
    return 1;
  }
  const flash_check& check = outcome.check;
  if (outcome.link.status != kboot_status::ok) {
    report_link(outcome.link);
    report_state();
    return 1;
  }
  if (check.verdict == flash_verdict::outside_flash) {
    fflush(stdout);
    fprintf(stderr, "%s: does not fit the MCU's flash: image ", path);
    print_range(image_first_address(&layout), image_end_address(&layout));
    fprintf(stderr, ", flash ");
    print_range(check.flash_start, static_cast<uint64_t>(check.flash_start) + check.flash_size);
    fprintf(stderr, "; nothing was erased\n");
    report_state();
    return 1;
  }
  if (check.verdict == flash_verdict::mismatch) {
    printf("Verify failed at 0x%08lx: wrote 0x%02x, read 0x%02x\n",
           static_cast<unsigned long>(check.address), check.written, check.read);
    report_state();
    return 1;
  }
  printf("Successfully flashed %s.\n", path);
  return 0;
}

// The flasher's device: mode 0, 8 bits, 400 kHz; every exchange runs at the
// values read back, untraced (the link prints whole packets).
[[gnu::noinline]] spidev_device flasher_device(void) {
  spidev_device device{};
  device.path = SPIDEV_PATH;
  device.settings = {0, 8, 400000};
  device.fd = -1;
  return device;
}

// Takes the lock on the open device: 0, or 1 when another process kept it
// for the whole wait (said on standard error). Any other failure ends the
// program.
int lock_bus(spidev_device* device) {
  const spidev_lock_result locked = spidev_lock(device, FLASH_LOCK_WAIT_MS);
  if (locked == SPIDEV_BUSY) {
    spidev_report_busy(device);
    return 1;
  }
  if (locked == SPIDEV_LOCK_FAILED) exit_set_up({SPIDEV_LOCK_FAILURE, errno});
  return 0;
}

// Opens, locks and configures the device: 0, or 1 as lock_bus.
int take_bus(spidev_device* device) {
  spidev_failure failure;
  if (spidev_open(device, &failure) != 0) exit_set_up(failure);
  if (lock_bus(device) != 0) return 1;
  if (spidev_configure(device, &failure) != 0) exit_set_up(failure);
  device->exchange_speed_hz = device->settings.max_speed_hz;
  device->exchange_bits = device->settings.bits_per_word;
  return 0;
}

// -r: the device is opened for its lock alone, and closed only after the
// restart; where it cannot be opened the MCU is restarted all the same.
int restart_only(bool verbose) {
  spidev_device device = flasher_device();
  spidev_failure ignored;
  if (spidev_open(&device, &ignored) == 0 && lock_bus(&device) != 0) return 1;
  gpio_failure failure;
  const int failed = flash_restart_only(verbose, &failure);
  if (device.fd >= 0) close(device.fd);
  if (failed) {
    report_path(failure.path, strerror(failure.error));
    report_state();
    return 1;
  }
  printf("MCU successfully rebooted\n");
  return 0;
}

// -d FILE: the flash into a temporary file beside FILE, renamed over it
// only once every byte has arrived; FILE is never left half written.
int save_flash(const char* file, bool verbose) {
  struct stat st;
  if (stat(file, &st) == 0 && !S_ISREG(st.st_mode)) {
    report_path(file, "not a regular file");
    return 1;
  }
  char temp[PATH_MAX];
  if (snprintf(temp, sizeof temp, "%s.XXXXXX", file) >= static_cast<int>(sizeof temp)) {
    report_path(file, strerror(ENAMETOOLONG));
    return 1;
  }
  spidev_device device = flasher_device();
  if (take_bus(&device) != 0) return 1;
  const int fd = mkstemp(temp);
  if (fd < 0) {
    report_path(file, strerror(errno));
    return 1;
  }
  printf("Saving the flash to %s\n", file);
  progress shown;
  progress_init(&shown, verbose);
  const kboot_link link = {&device, verbose, monotonic_now};
  const dump_outcome out = flash_dump(&link, fd, &shown);
  close(device.fd);
  int error = out.write_error;
  const bool complete = out.gpio.error == 0 && out.link.status == kboot_status::ok &&
                        out.stopped == 0 && stop_requested == 0 && error == 0;
  if (complete && (fsync(fd) != 0 || close(fd) != 0 || rename(temp, file) != 0)) error = errno;
  if (!complete || error != 0) {
    unlink(temp);
    if (!complete) close(fd);
  }
  if (out.stopped != 0 || stop_requested != 0)
    stop_signals_end(out.stopped != 0 ? out.stopped : stop_requested);
  if (complete && error == 0) {
    printf("Saved %lu bytes of flash from 0x%08lx to %s\n", static_cast<unsigned long>(out.saved),
           static_cast<unsigned long>(out.range.flash_start), file);
    return 0;
  }
  if (out.gpio.error != 0) {
    report_path(out.gpio.path, strerror(out.gpio.error));
  } else if (out.range.refused_property != 0) {
    report_range(out.range);
  } else if (out.link.status != kboot_status::ok) {
    report_link(out.link);
  } else {
    report_path(file, strerror(error));
  }
  report_state();
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = (argc > 0 && argv[0] != nullptr) ? argv[0] : "mcuflash";
  bool verbose = false;
  bool verify = false;
  const char* dump_path = nullptr;
  // '+': options end at the first operand; arguments are never reordered.
  int option;
  while ((option = getopt(argc, argv, "+vrhcVd:")) != -1) {
    switch (option) {
      case 'v':
        verbose = true;
        break;
      case 'r':
        return restart_only(verbose);
      case 'c':
        verify = true;
        break;
      case 'd':
        dump_path = optarg;
        break;
      case 'h':
        print_usage(program);
        return 0;
      case 'V':
        print_program_version("mcuflash");
        return 0;
      default:
        print_usage(program);
        return 1;
    }
  }
  if (dump_path != nullptr) {
    if (optind < argc || verify) {
      fprintf(stderr, "-d saves the flash: it does not go with an image or -c\n");
      print_usage(program);
      return 1;
    }
    return save_flash(dump_path, verbose);
  }
  if (optind >= argc) {
    fprintf(stderr, "Please supply a file to flash\n");
    print_usage(program);
    return 1;
  }
  const char* path = argv[optind];

  flash_image image;
  if (image_open(path, &image) != 0) return report_image(image, path);
  // What the file holds, and whether it may be written at all, is settled
  // before any line or byte reaches the MCU: the file is read once, and the
  // lock guard, the download and the read-back all use those bytes.
  image_layout layout;
  layout_fault fault;
  if (image_load(image.fd, image.size, path, &layout, &fault) != layout_problem::none)
    return report_layout(fault, path);
  if (image_lock_guard(&layout, &fault) != layout_problem::none) {
    image_release(&layout);
    return report_layout(fault, path);
  }

  // The bus is this run's from before the first GPIO write until after the
  // last; the shared settings are written under the lock too.
  spidev_device device = flasher_device();
  if (take_bus(&device) != 0) {
    image_release(&layout);
    return 1;
  }
  if (verbose) {
    printf("spi mode: 0x%x\nbits per word: %d\nmax speed: %d Hz (%d KHz)\n",
           static_cast<unsigned>(device.settings.mode),
           static_cast<int>(device.settings.bits_per_word),
           static_cast<int>(device.settings.max_speed_hz),
           static_cast<int>(device.settings.max_speed_hz / 1000));
  }

  progress shown;
  progress_init(&shown, verbose);
  const kboot_link link = {&device, verbose, monotonic_now};
  const flash_job job = {&image, &layout, verify, &shown};
  const flash_outcome outcome = flash_run(&link, &job);
  // Only now, after the final restart, does another program get the bus.
  close(device.fd);
  const int status = report_run(outcome, layout, path);
  image_release(&layout);
  return status;
}
