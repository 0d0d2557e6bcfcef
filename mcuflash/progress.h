// The progress line on a terminal: one line redrawn in place with the
// phase, the bytes done of the total, the percentage, the rate and the time
// left; the last state stays on screen. Off (every call does nothing) when
// standard output is not a terminal or the run is verbose, or when the
// progress is null.
#pragma once

#include <signal.h>
#include <stdint.h>

// Set while a progress line stands unfinished on the terminal, so that a
// stop line starts on a line of its own.
extern volatile sig_atomic_t progress_on_screen;

struct progress {
  bool on;
  bool shown;          // a line is on screen, not yet ended
  const char* phase;
  uint32_t total;      // bytes of the phase; 0: a phase without a count
  uint32_t done;
  uint32_t start_ms;   // of the phase, on the monotonic clock
  uint32_t drawn_ms;   // the last redraw
};

void progress_init(progress* p, bool verbose);
// A new phase, drawn at once.
void progress_phase(progress* p, const char* phase, uint32_t total);
// `bytes` more done; redrawn at most ten times a second, and at the end.
void progress_add(progress* p, uint32_t bytes);
// Clears the line for another line of output; the next redraw brings it back.
void progress_clear(progress* p);
// Ends the line where it stands (its last state stays).
void progress_end(progress* p);
