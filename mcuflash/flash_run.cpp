#include "flash_run.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "kboot_commands.h"
#include "spidev.h"

namespace {

void report_gpio(const gpio_failure& failure) {
  fflush(stdout);
  fprintf(stderr, "%s: %s\n", failure.path, strerror(failure.error));
}

void print_crc(const char* which, unsigned crc) { printf("crc %s: %u 0x%04x\n", which, crc, crc); }

// Prints what ended the bootloader link and returns the exit status.
int report_link(const kboot_result& r) {
  switch (r.status) {
    case kboot_status::ok:
      return 0;
    case kboot_status::exchange_failed:
      errno = static_cast<int>(r.value);
      abort_with_error("can't send spi message");
    case kboot_status::no_answer:
      printf("No answer from KBoot while waiting for %s\n", r.awaited);
      break;
    case kboot_status::no_ack:
      printf("No ack received: %02x\n", static_cast<unsigned>(r.value));
      break;
    case kboot_status::bad_crc:
      printf("Wrong crc checksum:\n");
      print_crc("calc", r.crc_calculated);
      print_crc("recv", r.crc_received);
      break;
    case kboot_status::error_status:
      printf("Generic message error: %u 0x%04x\n", static_cast<unsigned>(r.value),
             static_cast<unsigned>(r.value));
      break;
    case kboot_status::image_unreadable:
      break;  // the image reader said why
  }
  return 1;
}

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

}  // namespace

flash_result flash_firmware(int fd, flash_image* image, const char* path) {
  flash_result result;
  if (mcu_reboot(&result.gpio) != 0) return result;
  verbose_printf("Entering kboot\n");
  if (mcu_enter_bootloader(&result.gpio) != 0) return result;
  verbose_printf("Establishing communication with KBoot\n");
  kboot_result& r = result.link;
  r = kboot_wake_up(fd);
  if (r.status == kboot_status::ok) r = kboot_ping(fd);
  if (r.status == kboot_status::ok) r = kboot_erase_all_unsecure(fd);
  if (r.status == kboot_status::ok) r = kboot_write_memory(fd, image, path);
  if (r.status == kboot_status::ok)
    r = kboot_execute(fd, FLASH_JUMP_ADDRESS, FLASH_ARGUMENT, FLASH_STACK_POINTER);
  return result;
}

int flash_take_bus(int fd) {
  if (spidev_lock(fd, FLASH_LOCK_WAIT_MS) != SPIDEV_BUSY) return 0;
  spidev_report_busy(fd);
  return 1;
}

int flash_run(int fd, flash_image* image, const char* path) {
  guard_flash_signals();
  printf("Flashing %s\n", path);
  gpio_failure init;
  if (gpio_init_lines(&init) != 0) {
    report_gpio(init);
    return 1;
  }
  const flash_result result = flash_firmware(fd, image, path);
  if (result.gpio.error != 0) {
    report_gpio(result.gpio);
    return 1;
  }
  if (result.link.status != kboot_status::ok) return report_link(result.link);
  gpio_failure restart;
  const int failed = mcu_reboot(&restart);
  close(fd);
  if (failed) {
    report_gpio(restart);
    fprintf(stderr, "%s was written, but the MCU could not be restarted\n", path);
    return 1;
  }
  printf("Successfully flashed %s.\n", path);
  return 0;
}

int flash_restart_only(void) {
  // The device is opened for its lock alone; where it cannot be opened the
  // MCU is restarted all the same.
  const int fd = open(SPIDEV_PATH, O_RDWR);
  if (fd >= 0 && flash_take_bus(fd) != 0) return 1;
  keep_running_without_terminal();
  verbose_printf("Initializing GPIOs\n");
  gpio_failure failure;
  int failed = gpio_init_lines(&failure);
  if (!failed) {
    verbose_printf("Rebooting MCU...\n");
    failed = mcu_reboot(&failure);
  }
  if (fd >= 0) close(fd);
  if (failed) {
    report_gpio(failure);
    return 1;
  }
  printf("MCU successfully rebooted\n");
  return 0;
}
