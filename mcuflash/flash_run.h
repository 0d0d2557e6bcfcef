// The flashing run: restart into the bootloader, wake it up, ping, check
// the flash range, erase, download the image run by run with its progress,
// read it back when asked, execute, restart into the new firmware. It
// keeps mcu_where (mcu_state.h) up to date and returns what happened; main
// reports it and ends the program.
#pragma once

#include <stdint.h>

#include "gpio.h"
#include "image.h"
#include "image_format.h"
#include "kboot_link.h"
#include "progress.h"

// Execute parameters of the downloaded firmware.
constexpr uint32_t FLASH_JUMP_ADDRESS = 0x43D;
constexpr uint32_t FLASH_ARGUMENT = 0;
constexpr uint32_t FLASH_STACK_POINTER = 0x20012000;

// How long a run waits for another program to let go of the SPI bus.
constexpr int FLASH_LOCK_WAIT_MS = 5000;

// What a run is to write: the file, the runs the reader made of it (they
// hold every byte sent and compared; the file is not read again), and
// whether every run is read back before execute.
struct flash_job {
  flash_image* image;
  const image_layout* layout;
  bool verify;
  progress* shown;  // the progress line on a terminal, or off
};

// What the run's own checks found. Before the erase the bootloader's flash
// range (when it answers both properties) must hold the image; with verify,
// every byte read back must be the byte written.
enum class flash_verdict {
  passed,
  outside_flash,  // nothing erased; the MCU is restarted into its firmware
  mismatch,       // at `address`, `written` was sent and `read` came back
};

struct flash_check {
  flash_verdict verdict = flash_verdict::passed;
  bool range_known = false;  // both properties answered
  uint32_t refused_property = 0;  // else the one the bootloader refused,
  uint32_t refused_status = 0;    // with this status
  uint32_t flash_start = 0;
  uint32_t flash_size = 0;
  uint32_t address = 0;
  uint8_t written = 0;
  uint8_t read = 0;
  uint64_t verified = 0;  // bytes read back and found equal
};

// What ended a run: a line that could not be driven (gpio.error set; with
// `written`, only the final restart after a complete flash failed), else the
// link's result, else the checks.
struct flash_outcome {
  gpio_failure gpio;
  bool written = false;
  kboot_result link;
  flash_check check;
};

// From the GPIO lines to a bootloader that answered its ping: restart,
// restart into the bootloader, the wake-up phase, ping. 0, or 1 with the
// GPIO failure or the link's result in *outcome.
int flash_enter_bootloader(const kboot_link* link, progress* shown, flash_outcome* outcome);

// Properties 3 and 4 into check->flash_start and flash_size (range_known);
// a refusal is the link's error_status, with the property in
// check->refused_property.
kboot_result flash_read_range(const kboot_link* link, flash_check* check);

// The flashing sequence, up to and including execute: the download prints
// the "File size" line, or a line per run, and the spinner.
flash_outcome flash_firmware(const kboot_link* link, const flash_job* job);

// The bootloader conversation after the ping: the flash
// range, erase all unsecure, one write memory per run, the read-back when
// asked, execute. A check that refuses ends it with the link's result ok.
kboot_result flash_talk(const kboot_link* link, const flash_job* job, flash_check* check);

// The whole run on an open, configured and locked device and a checked
// image. On success, and when the image does not fit the flash, it ends
// with the final restart; the caller closes the device, and so lets go of
// the bus, only after it.
flash_outcome flash_run(const kboot_link* link, const flash_job* job);

// The action of -r once the bus is taken: initialise the lines and restart
// the MCU; 0, or 1 with *failure filled.
int flash_restart_only(bool verbose, gpio_failure* failure);
