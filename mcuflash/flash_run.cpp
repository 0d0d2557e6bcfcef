#include "flash_run.h"

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

namespace {

constexpr char SPINNER[] = "/-\\|";

// SIGINT and SIGTERM still stop a flash, but not without saying what that
// leaves behind; the signal then ends the process as the caller expects.
void on_stop_signal(int signal_number) {
  static const char message[] =
      "mcuflash: stopped: the MCU stays in its bootloader and may hold an incomplete image; "
      "running mcuflash again flashes it\n";
  const ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
  (void)written;
  // The handler was reset to the default action on entry; the signal is
  // blocked until the handler returns, then ends the process.
  raise(signal_number);
}

// Neither a dropped terminal session nor a reader that went away (mcuflash
// piped into head) may stop the MCU half-way: output that cannot be written
// is dropped.
void keep_running_without_terminal(void) {
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
}

void guard_flash_signals(void) {
  keep_running_without_terminal();
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// The write-memory command for the whole image at address 0, its data
// packets with the spinner, and the response that closes the data phase.
kboot_result download(const kboot_link* link, flash_image* image) {
  const uint32_t size = image->size;
  printf("File size %s: %lu\n", image->path, static_cast<unsigned long>(size));
  const uint32_t parameters[2] = {0, size};
  kboot_result r =
      kboot_send_command(link, {KBOOT_CMD_WRITE_MEMORY, 0x00, parameters, 2, "write memory"});
  if (r.status != kboot_status::ok) return r;

  const long chunks = static_cast<long>(size / KBOOT_DATA_CHUNK + (size % KBOOT_DATA_CHUNK ? 1 : 0));
  printf("/");
  uint32_t remaining = size;
  for (long k = 1; remaining > 0; ++k) {
    kboot_say(link, "Flashing %ld of %ld ", k, chunks);
    const size_t length = remaining < KBOOT_DATA_CHUNK ? remaining : KBOOT_DATA_CHUNK;
    uint8_t chunk[KBOOT_DATA_CHUNK];
    if (image_read(image, chunk, length) != 0) {
      r.status = kboot_status::image_unreadable;
      return r;
    }
    r = kboot_send_data(link, chunk, length);
    if (r.status != kboot_status::ok) return r;
    if (!link->verbose) {
      fflush(stdout);
      printf("\b%c", SPINNER[k % 4]);
    }
    remaining -= static_cast<uint32_t>(length);
  }
  printf("\b");
  return kboot_read_generic_response(link);
}

}  // namespace

flash_outcome flash_firmware(const kboot_link* link, flash_image* image) {
  flash_outcome outcome;
  if (mcu_reboot(&outcome.gpio) != 0) return outcome;
  kboot_say(link, "Entering kboot\n");
  if (mcu_enter_bootloader(&outcome.gpio) != 0) return outcome;
  kboot_say(link, "Establishing communication with KBoot\n");
  outcome.link = kboot_wake_up(link);
  if (outcome.link.status == kboot_status::ok) outcome.link = flash_talk(link, image);
  return outcome;
}

kboot_result flash_talk(const kboot_link* link, flash_image* image) {
  kboot_result r = kboot_ping(link);
  if (r.status == kboot_status::ok)
    r = kboot_send_command(
        link, {KBOOT_CMD_ERASE_ALL_UNSECURE, 0xCC, nullptr, 0, "erase all unsecure"});
  if (r.status == kboot_status::ok) r = download(link, image);
  if (r.status == kboot_status::ok) {
    const uint32_t parameters[3] = {FLASH_JUMP_ADDRESS, FLASH_ARGUMENT, FLASH_STACK_POINTER};
    r = kboot_send_command(link, {KBOOT_CMD_EXECUTE, 0x00, parameters, 3, "execute"});
  }
  return r;
}

flash_outcome flash_run(const kboot_link* link, flash_image* image) {
  guard_flash_signals();
  printf("Flashing %s\n", image->path);
  flash_outcome outcome;
  if (gpio_init_lines(link->verbose, &outcome.gpio) != 0) return outcome;
  outcome = flash_firmware(link, image);
  if (outcome.gpio.error != 0 || outcome.link.status != kboot_status::ok) return outcome;
  close(link->device->fd);
  outcome.written = mcu_reboot(&outcome.gpio) != 0;
  return outcome;
}

int flash_restart_only(bool verbose, gpio_failure* failure) {
  keep_running_without_terminal();
  if (verbose) printf("Initializing GPIOs\n");
  if (gpio_init_lines(verbose, failure) != 0) return 1;
  if (verbose) printf("Rebooting MCU...\n");
  return mcu_reboot(failure);
}
