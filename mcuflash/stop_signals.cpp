#include "stop_signals.h"

#include <string.h>
#include <unistd.h>

#include "mcu_state.h"
#include "progress.h"

volatile sig_atomic_t stop_requested = 0;

namespace {

// Terminating by default, catchable, and not a fault of the program's own
// (those, and SIGABRT, keep their core dump); the real-time signals too.
const int STOPS[] = {SIGINT,  SIGTERM,   SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                     SIGPOLL, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGPWR};

void write_text(const char* text) {
  const ssize_t written = write(STDERR_FILENO, text, strlen(text));
  (void)written;
}

void on_stop_now(int signal_number) { stop_signals_end(signal_number); }

void on_stop_later(int signal_number) { stop_requested = signal_number; }

void install(void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigaction(SIGHUP, &action, nullptr);
  sigaction(SIGPIPE, &action, nullptr);
  action.sa_handler = handler;
  action.sa_flags = flags;  // and nothing held back meanwhile
  for (const int s : STOPS) sigaction(s, &action, nullptr);
  // The real-time signals; the C library refuses the few it keeps.
  for (int s = 32; s < _NSIG; ++s) sigaction(s, &action, nullptr);
}

}  // namespace

// The handler's own signal is not held back (SA_NODEFER), so that raising
// it again once its default action is back ends the process at once.
void stop_signals_immediate(void) { install(on_stop_now, SA_NODEFER); }

void stop_signals_deferred(void) { install(on_stop_later, SA_RESTART); }

void stop_signals_end(int signal_number) {
  const char* state = mcu_state_text(mcu_where);
  if (progress_on_screen) write_text("\n");
  if (state != nullptr) {
    write_text("mcuflash: stopped: ");
    write_text(state);
  } else {
    write_text(mcu_where == MCU_UNTOUCHED ? "mcuflash: stopped before the MCU was touched"
                                          : "mcuflash: stopped: the MCU was restarted into the written image");
  }
  write_text("\n");
  // Back to the default action, which the signal raised again takes.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(signal_number, &action, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);
}
