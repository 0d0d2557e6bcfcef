#include "progress.h"

#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "monotonic_clock.h"

volatile sig_atomic_t progress_on_screen = 0;

namespace {

// 32-bit milliseconds: a phase lasts far less than the 49 days they wrap at.
uint32_t now_ms(void) { return static_cast<uint32_t>(monotonic_ms()); }

void draw(progress* p, uint32_t now) {
  p->drawn_ms = now;
  p->shown = true;
  progress_on_screen = 1;
  // Back to the line's start; the rest of the line cleared after it.
  if (p->total == 0) {
    printf("\r%s...\033[K", p->phase);
    fflush(stdout);
    return;
  }
  uint32_t elapsed = now - p->start_ms;
  if (elapsed == 0) elapsed = 1;
  // Every product stays within 32 bits for a flash of up to 4 MiB.
  const uint32_t percent =
      p->total < (1u << 24) ? p->done * 100 / p->total : p->done / (p->total / 100);
  const uint32_t per_second =
      p->done < (1u << 22) ? p->done * 1000 / elapsed : p->done / elapsed * 1000;
  const uint32_t tenths = per_second * 10 / 1024;  // KiB/s, one decimal
  const uint32_t left = per_second > 0 ? (p->total - p->done) / per_second : 0;
  printf("\r%s %lu/%lu bytes %3u%% %u.%u KiB/s %u:%02u left\033[K", p->phase,
         static_cast<unsigned long>(p->done), static_cast<unsigned long>(p->total),
         static_cast<unsigned>(percent), static_cast<unsigned>(tenths / 10),
         static_cast<unsigned>(tenths % 10), static_cast<unsigned>(left / 60),
         static_cast<unsigned>(left % 60));
  fflush(stdout);
}

}  // namespace

void progress_init(progress* p, bool verbose) {
  *p = progress{};
  // A terminal is what answers for its window size.
  winsize window;
  p->on = !verbose && ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) == 0;
}

void progress_phase(progress* p, const char* phase, uint32_t total) {
  if (p == nullptr || !p->on) return;
  p->phase = phase;
  p->total = total;
  p->done = 0;
  p->start_ms = now_ms();
  draw(p, p->start_ms);
}

void progress_add(progress* p, uint32_t bytes) {
  if (p == nullptr || !p->on) return;
  p->done += bytes;
  const uint32_t now = now_ms();
  if (p->done >= p->total || now - p->drawn_ms >= 100) draw(p, now);
}

void progress_clear(progress* p) {
  if (p == nullptr || !p->on || !p->shown) return;
  fputs("\r\033[K", stdout);
  p->shown = false;
  progress_on_screen = 0;
}

void progress_end(progress* p) {
  if (p == nullptr || !p->on || !p->shown) return;
  putchar('\n');
  p->shown = false;
  progress_on_screen = 0;
}
