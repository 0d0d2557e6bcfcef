// The signals that would end the process during a run. A dropped terminal
// session and a reader that went away (mcuflash piped into head) are
// ignored: output that cannot be written is dropped. Every other signal
// that ends a process by default and can be caught stops the run with a
// line saying where the MCU is (mcu_state.h), then ends the process by
// that signal as the caller expects.
#pragma once

#include <signal.h>

// A flash: the handler writes the line and ends the process at once.
void stop_signals_immediate(void);
// Saving the flash: the handler only notes the signal in stop_requested;
// the run sees it between packets, tidies up, restarts the MCU and calls
// stop_signals_end.
void stop_signals_deferred(void);
extern volatile sig_atomic_t stop_requested;
// Writes the stop line for mcu_where and ends the process by `signal_number`.
[[noreturn]] void stop_signals_end(int signal_number);
