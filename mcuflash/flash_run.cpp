#include "flash_run.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "mcu_state.h"
#include "stop_signals.h"

namespace {

constexpr char SPINNER[] = "/-\\|";

// One run through the bootloader: written (its write-memory command and
// data packets, with the spinner) or, with `verify`, read back and compared
// byte by byte, the first difference ending it with the check's verdict;
// then the response that closes the command.
kboot_result transfer(const kboot_link* link, const flash_job* job, const image_run& run,
                      bool verify, flash_check* check) {
  kboot_result r;
  progress* shown = job->shown;
  if (verify) {
    r = kboot_read_memory(link, run.address, run.size);
  } else {
    progress_clear(shown);
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
  // The spinner, unless the progress line or the verbose dump shows more.
  const bool spin = shown == nullptr || !shown->on;
  if (spin) printf("/");
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
        if (spin) printf("\b");
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
    if (spin && !link->verbose) {
      fflush(stdout);
      printf("\b%c", SPINNER[k % 4]);
    }
    done += static_cast<uint32_t>(length);
    progress_add(shown, static_cast<uint32_t>(length));
  }
  if (spin) printf("\b");
  return kboot_read_generic_response(link);
}

// The flash range from properties 3 and 4; an image outside it is refused
// before anything is erased. A bootloader that refuses either property
// cannot be checked (check->refused_property says so): the run goes on.
kboot_result check_range(const kboot_link* link, const flash_job* job, flash_check* check) {
  const image_layout* layout = job->layout;
  const kboot_result r = flash_read_range(link, check);
  if (r.status == kboot_status::error_status) return {};
  if (r.status != kboot_status::ok) return r;
  const uint32_t values[2] = {check->flash_start, check->flash_size};
  const uint64_t flash_end = static_cast<uint64_t>(values[0]) + values[1];
  if (image_first_address(layout) < values[0] || image_end_address(layout) > flash_end)
    check->verdict = flash_verdict::outside_flash;
  return {};
}

}  // namespace

kboot_result flash_read_range(const kboot_link* link, flash_check* check) {
  const uint32_t properties[2] = {KBOOT_PROPERTY_FLASH_START, KBOOT_PROPERTY_FLASH_SIZE};
  uint32_t values[2] = {0, 0};
  kboot_result refused;
  // Both are asked for, whatever the first answer.
  for (int i = 0; i < 2; ++i) {
    const kboot_result r = kboot_get_property(link, properties[i], &values[i]);
    if (r.status == kboot_status::error_status)
      kboot_say(link, "Flash range not checked: property %lu refused with status %lu\n",
                static_cast<unsigned long>(properties[i]), static_cast<unsigned long>(r.value));
    if (r.status == kboot_status::error_status && check->refused_property == 0) {
      check->refused_property = properties[i];
      check->refused_status = r.value;
      refused = r;
    } else if (r.status != kboot_status::ok && r.status != kboot_status::error_status) {
      return r;
    }
  }
  if (check->refused_property != 0) return refused;
  check->range_known = true;
  check->flash_start = values[0];
  check->flash_size = values[1];
  return {};
}

int flash_enter_bootloader(const kboot_link* link, progress* shown, flash_outcome* outcome) {
  mcu_where = MCU_HELD;
  if (mcu_reboot(&outcome->gpio) != 0) return 1;
  kboot_say(link, "Entering kboot\n");
  if (mcu_enter_bootloader(&outcome->gpio) != 0) return 1;
  kboot_say(link, "Establishing communication with KBoot\n");
  progress_phase(shown, "Waking the bootloader", 0);
  outcome->link = kboot_wake_up(link);
  if (outcome->link.status == kboot_status::ok) outcome->link = kboot_ping(link);
  return outcome->link.status == kboot_status::ok ? 0 : 1;
}

flash_outcome flash_firmware(const kboot_link* link, const flash_job* job) {
  flash_outcome outcome;
  if (flash_enter_bootloader(link, job->shown, &outcome) == 0)
    outcome.link = flash_talk(link, job, &outcome.check);
  return outcome;
}

kboot_result flash_talk(const kboot_link* link, const flash_job* job, flash_check* check) {
  const image_layout* layout = job->layout;
  kboot_result r = check_range(link, job, check);
  if (r.status != kboot_status::ok || check->verdict != flash_verdict::passed) return r;
  uint32_t total = 0;
  for (size_t i = 0; i < layout->count; ++i) total += layout->runs[i].size;
  progress_phase(job->shown, "Erasing", 0);
  mcu_where = MCU_ERASED;
  r = kboot_send_command(
      link, {KBOOT_CMD_ERASE_ALL_UNSECURE, KBOOT_ERASE_RESERVED, nullptr, 0, "erase all unsecure"});
  // A refused erase changed nothing.
  if (r.status == kboot_status::error_status) mcu_where = MCU_HELD;
  if (r.status == kboot_status::ok) progress_phase(job->shown, "Writing", total);
  for (size_t i = 0; i < layout->count && r.status == kboot_status::ok; ++i)
    r = transfer(link, job, layout->runs[i], false, check);
  if (r.status != kboot_status::ok) return r;
  mcu_where = MCU_WRITTEN;
  if (job->verify) {
    progress_phase(job->shown, "Verifying", total);
    for (size_t i = 0; i < layout->count && r.status == kboot_status::ok &&
                       check->verdict == flash_verdict::passed;
         ++i)
      r = transfer(link, job, layout->runs[i], true, check);
    if (check->verdict == flash_verdict::mismatch) mcu_where = MCU_MISMATCH;
    if (r.status != kboot_status::ok || check->verdict != flash_verdict::passed) return r;
    progress_end(job->shown);
    printf("Verified %llu bytes\n", static_cast<unsigned long long>(check->verified));
  }
  const uint32_t parameters[3] = {FLASH_JUMP_ADDRESS, FLASH_ARGUMENT, FLASH_STACK_POINTER};
  return kboot_send_command(link, {KBOOT_CMD_EXECUTE, 0x00, parameters, 3, "execute"});
}

flash_outcome flash_run(const kboot_link* link, const flash_job* job) {
  stop_signals_immediate();
  printf("Flashing %s\n", job->image->path);
  flash_outcome outcome;
  if (gpio_init_lines(link->verbose, &outcome.gpio) == 0) outcome = flash_firmware(link, job);
  progress_end(job->shown);
  if (outcome.gpio.error != 0 || outcome.link.status != kboot_status::ok) return outcome;
  // A mismatch leaves the MCU in its bootloader, as a protocol failure does.
  if (outcome.check.verdict == flash_verdict::mismatch) return outcome;
  // Nothing was erased when the image does not fit: the MCU goes back to
  // the firmware it had. The caller still holds the bus through this
  // restart, so no other program reaches the MCU while it starts.
  const bool refused = outcome.check.verdict == flash_verdict::outside_flash;
  if (refused) mcu_where = MCU_HELD;
  if (mcu_reboot(&outcome.gpio) == 0) mcu_where = refused ? MCU_UNCHANGED : MCU_RESTARTED;
  outcome.written = outcome.gpio.error != 0 && !refused;
  return outcome;
}

int flash_restart_only(bool verbose, gpio_failure* failure) {
  stop_signals_immediate();
  if (verbose) printf("Initializing GPIOs\n");
  if (gpio_init_lines(verbose, failure) != 0) return 1;
  if (verbose) printf("Rebooting MCU...\n");
  mcu_where = MCU_HELD;
  if (mcu_reboot(failure) != 0) return 1;
  mcu_where = MCU_RESTARTED;
  return 0;
}
