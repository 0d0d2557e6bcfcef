#include "flash_run.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr char SPINNER[] = "/-\\|";

// Where the MCU is, for the line that a stop signal prints: on the way
// through a GPIO sequence (or before it) a stop may leave the reset line
// low; from the bootloader on, the MCU waits there.
volatile sig_atomic_t in_bootloader = 0;

// SIGINT, SIGTERM and SIGQUIT still stop a flash, but not without saying
// what that leaves behind; the signal then ends the process as the caller
// expects.
void on_stop_signal(int signal_number) {
  static const char in_reset[] =
      "mcuflash: stopped: the MCU was left in reset; running mcuflash -r restarts it\n";
  static const char in_bootloader_line[] =
      "mcuflash: stopped: the MCU stays in its bootloader and may hold an incomplete image; "
      "running mcuflash again flashes it\n";
  const ssize_t written = in_bootloader
                              ? write(STDERR_FILENO, in_bootloader_line, sizeof in_bootloader_line - 1)
                              : write(STDERR_FILENO, in_reset, sizeof in_reset - 1);
  (void)written;
  // The handler was reset to the default action on entry; the signal is
  // blocked until the handler returns, then ends the process.
  raise(signal_number);
}

// Neither a dropped terminal session nor a reader that went away (mcuflash
// piped into head) may stop the MCU half-way: output that cannot be written
// is dropped.
void guard_flash_signals(void) {
  static const int ignored[] = {SIGHUP, SIGPIPE};
  static const int stops[] = {SIGINT, SIGTERM, SIGQUIT};
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  for (const int s : ignored) sigaction(s, &action, nullptr);
  action.sa_handler = on_stop_signal;
  action.sa_flags = SA_RESETHAND;
  for (const int s : stops) sigaction(s, &action, nullptr);
}

// One run through the bootloader: written (its write-memory command and
// data packets, with the spinner) or, with `verify`, read back and compared
// byte by byte, the first difference ending it with the check's verdict;
// then the response that closes the command.
kboot_result transfer(const kboot_link* link, const flash_job* job, const image_run& run,
                      bool verify, flash_check* check) {
  kboot_result r;
  if (verify) {
    r = kboot_read_memory(link, run.address, run.size);
  } else {
    if (job->layout->format == image_format::raw)
      printf("File size %s: %lu\n", job->image->path, static_cast<unsigned long>(run.size));
    else
      printf("Writing %lu bytes at 0x%08lx\n", static_cast<unsigned long>(run.size),
             static_cast<unsigned long>(run.address));
    const uint32_t parameters[2] = {run.address, run.size};
    r = kboot_send_command(link, {KBOOT_CMD_WRITE_MEMORY, 0x00, parameters, 2, "write memory"});
  }
  if (r.status != kboot_status::ok) return r;

  const long chunks = static_cast<long>(run.size / KBOOT_DATA_CHUNK + (run.size % KBOOT_DATA_CHUNK ? 1 : 0));
  printf("/");
  uint32_t done = 0;
  for (long k = 1; done < run.size; ++k) {
    kboot_say(link, verify ? "Verifying %ld of %ld " : "Flashing %ld of %ld ", k, chunks);
    const uint32_t left = run.size - done;
    const size_t length = left < KBOOT_DATA_CHUNK ? left : KBOOT_DATA_CHUNK;
    const uint8_t* chunk = run.bytes + done;
    if (verify) {
      uint8_t read[KBOOT_DATA_CHUNK];
      r = kboot_read_data(link, read, length);
      for (size_t i = 0; r.status == kboot_status::ok && i < length; ++i) {
        if (read[i] == chunk[i]) continue;
        printf("\b");
        check->verdict = flash_verdict::mismatch;
        check->address = run.address + done + static_cast<uint32_t>(i);
        check->written = chunk[i];
        check->read = read[i];
        return r;
      }
      check->verified += length;
    } else {
      r = kboot_send_data(link, chunk, length);
    }
    if (r.status != kboot_status::ok) return r;
    if (!link->verbose) {
      fflush(stdout);
      printf("\b%c", SPINNER[k % 4]);
    }
    done += static_cast<uint32_t>(length);
  }
  printf("\b");
  return kboot_read_generic_response(link);
}

// The flash range from properties 3 and 4; an image outside it is refused
// before anything is erased. A bootloader that refuses either property
// cannot be checked: the run goes on.
kboot_result check_range(const kboot_link* link, const image_layout* layout, flash_check* check) {
  const uint32_t properties[2] = {KBOOT_PROPERTY_FLASH_START, KBOOT_PROPERTY_FLASH_SIZE};
  uint32_t values[2] = {0, 0};
  bool known = true;
  for (int i = 0; i < 2; ++i) {
    const kboot_result r = kboot_get_property(link, properties[i], &values[i]);
    if (r.status == kboot_status::error_status) {
      kboot_say(link, "Flash range not checked: property %lu refused with status %lu\n",
                static_cast<unsigned long>(properties[i]), static_cast<unsigned long>(r.value));
      known = false;
    } else if (r.status != kboot_status::ok) {
      return r;
    }
  }
  if (!known) return {};
  check->range_known = true;
  check->flash_start = values[0];
  check->flash_size = values[1];
  const uint64_t flash_end = static_cast<uint64_t>(values[0]) + values[1];
  if (image_first_address(layout) < values[0] || image_end_address(layout) > flash_end)
    check->verdict = flash_verdict::outside_flash;
  return {};
}

}  // namespace

flash_outcome flash_firmware(const kboot_link* link, const flash_job* job) {
  flash_outcome outcome;
  if (mcu_reboot(&outcome.gpio) != 0) return outcome;
  kboot_say(link, "Entering kboot\n");
  if (mcu_enter_bootloader(&outcome.gpio) != 0) return outcome;
  in_bootloader = 1;
  kboot_say(link, "Establishing communication with KBoot\n");
  outcome.link = kboot_wake_up(link);
  if (outcome.link.status == kboot_status::ok) outcome.link = flash_talk(link, job, &outcome.check);
  return outcome;
}

kboot_result flash_talk(const kboot_link* link, const flash_job* job, flash_check* check) {
  const image_layout* layout = job->layout;
  kboot_result r = kboot_ping(link);
  if (r.status == kboot_status::ok) r = check_range(link, layout, check);
  if (r.status != kboot_status::ok || check->verdict != flash_verdict::passed) return r;
  r = kboot_send_command(link,
                         {KBOOT_CMD_ERASE_ALL_UNSECURE, 0xCC, nullptr, 0, "erase all unsecure"});
  for (size_t i = 0; i < layout->count && r.status == kboot_status::ok; ++i)
    r = transfer(link, job, layout->runs[i], false, check);
  if (r.status == kboot_status::ok && job->verify) {
    for (size_t i = 0; i < layout->count && r.status == kboot_status::ok &&
                       check->verdict == flash_verdict::passed;
         ++i)
      r = transfer(link, job, layout->runs[i], true, check);
    if (r.status != kboot_status::ok || check->verdict != flash_verdict::passed) return r;
    printf("Verified %llu bytes\n", static_cast<unsigned long long>(check->verified));
  }
  if (r.status == kboot_status::ok) {
    const uint32_t parameters[3] = {FLASH_JUMP_ADDRESS, FLASH_ARGUMENT, FLASH_STACK_POINTER};
    r = kboot_send_command(link, {KBOOT_CMD_EXECUTE, 0x00, parameters, 3, "execute"});
  }
  return r;
}

flash_outcome flash_run(const kboot_link* link, const flash_job* job) {
  guard_flash_signals();
  printf("Flashing %s\n", job->image->path);
  flash_outcome outcome;
  if (gpio_init_lines(link->verbose, &outcome.gpio) != 0) return outcome;
  outcome = flash_firmware(link, job);
  if (outcome.gpio.error != 0 || outcome.link.status != kboot_status::ok) return outcome;
  // A mismatch leaves the MCU in its bootloader, as a protocol failure does.
  if (outcome.check.verdict == flash_verdict::mismatch) return outcome;
  close(link->device->fd);
  in_bootloader = 0;
  // Nothing was erased when the image does not fit: the MCU goes back to
  // the firmware it had.
  const bool refused = outcome.check.verdict == flash_verdict::outside_flash;
  outcome.written = mcu_reboot(&outcome.gpio) != 0 && !refused;
  return outcome;
}

int flash_restart_only(bool verbose, gpio_failure* failure) {
  guard_flash_signals();
  if (verbose) printf("Initializing GPIOs\n");
  if (gpio_init_lines(verbose, failure) != 0) return 1;
  if (verbose) printf("Rebooting MCU...\n");
  return mcu_reboot(failure);
}
