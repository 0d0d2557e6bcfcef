// Where a run has left the MCU, kept as the run goes so that whatever ends
// it (main after a failure, or a stop signal) can say so in one line, with
// the command that recovers it. Read from a signal handler: one word.
#pragma once

#include <signal.h>

enum mcu_state : int {
  MCU_UNTOUCHED,   // no GPIO line driven yet by this run
  MCU_HELD,        // held in reset or in its bootloader, flash unchanged
  MCU_ERASED,      // erased or partly written
  MCU_MISMATCH,    // written, but the read-back found other bytes
  MCU_WRITTEN,     // written, not yet started
  MCU_UNCHANGED,   // restarted into the firmware it had
  MCU_RESTARTED,   // restarted into the image just written
};

extern volatile sig_atomic_t mcu_where;

// The line for a state: "the MCU ...; <what to run>", no newline; null
// for MCU_UNTOUCHED and MCU_RESTARTED, which need no line after a failure.
const char* mcu_state_text(int state);
