#include "gpio.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>


namespace {

// "/sys/class/gpio/gpio<line><leaf>", the leaf empty for the line's directory.
void line_path(char (&path)[GPIO_PATH_SIZE], int line, const char* leaf) {
  snprintf(path, sizeof path, "/sys/class/gpio/gpio%d%s", line, leaf);
}

int write_file(const char* path, const char* data, size_t length, gpio_failure* failure) {
  int error = 0;
  const int fd = open(path, O_WRONLY);
  if (fd < 0) {
    error = errno;
  } else {
    const ssize_t written = write(fd, data, length);
    if (written < 0) {
      error = errno;
    } else if (static_cast<size_t>(written) != length) {
      error = EIO;
    }
    close(fd);
  }
  if (error == 0) return 0;
  if (failure->error == 0) {
    failure->error = error;
    snprintf(failure->path, sizeof failure->path, "%s", path);
  }
  return 1;
}

struct line_level {
  int line;
  int value;
};

// Whether the line's direction file reads "out" (sysfs adds a newline).
bool is_output(int line) {
  char path[GPIO_PATH_SIZE];
  line_path(path, line, "/direction");
  const int fd = open(path, O_RDONLY);
  if (fd < 0) return false;
  char text[4] = {};
  const ssize_t got = read(fd, text, 3);
  close(fd);
  return got == 3 && text[0] == 'o' && text[1] == 'u' && text[2] == 't';
}

int drive(const line_level* steps, size_t count, gpio_failure* failure) {
  int failed = 0;
  for (size_t i = 0; i < count; ++i) failed |= gpio_set_value(steps[i].line, steps[i].value, failure);
  return failed;
}

}  // namespace

int gpio_export(int line, gpio_failure* failure) {
  char text[16];
  const int length = snprintf(text, sizeof text, "%d", line);
  return write_file("/sys/class/gpio/export", text, static_cast<size_t>(length), failure);
}

int gpio_set_direction(int line, int output, gpio_failure* failure) {
  char path[GPIO_PATH_SIZE];
  line_path(path, line, "/direction");
  return output ? write_file(path, "out", 3, failure) : write_file(path, "in", 2, failure);
}

int gpio_set_value(int line, int value, gpio_failure* failure) {
  char path[GPIO_PATH_SIZE];
  line_path(path, line, "/value");
  return write_file(path, value ? "1" : "0", 1, failure);
}

int gpio_init_lines(bool verbose, gpio_failure* failure) {
  const int lines[] = {GPIO_HELD_HIGH, GPIO_BOOT_SELECT, GPIO_RESET};
  int failed = 0;
  for (const int line : lines) {
    if (verbose) printf("Pin %d: ", line);
    char path[GPIO_PATH_SIZE];
    line_path(path, line, "");
    const bool exported = access(path, F_OK) == 0;
    // An exported line that is an output is left as it is; one that is not
    // (an earlier direction write failed, or another tool made it an input)
    // is set up again, or its value writes would never reach the MCU.
    if (exported && is_output(line)) {
      if (verbose) printf("Already initialized\n");
      continue;
    }
    if (verbose) printf("Initializing\n");
    if (!exported) failed |= gpio_export(line, failure);
    failed |= gpio_set_direction(line, 1, failure);
    failed |= gpio_set_value(line, 1, failure);
  }
  return failed;
}

int mcu_reboot(gpio_failure* failure) {
  static const line_level steps[] = {
      {GPIO_HELD_HIGH, 1}, {GPIO_BOOT_SELECT, 1}, {GPIO_RESET, 1}, {GPIO_RESET, 0}, {GPIO_RESET, 1},
  };
  return drive(steps, sizeof steps / sizeof steps[0], failure);
}

int mcu_enter_bootloader(gpio_failure* failure) {
  static const line_level steps[] = {
      {GPIO_HELD_HIGH, 1}, {GPIO_BOOT_SELECT, 1}, {GPIO_RESET, 1},
      {GPIO_RESET, 0},     {GPIO_BOOT_SELECT, 0}, {GPIO_RESET, 1},
  };
  return drive(steps, sizeof steps / sizeof steps[0], failure);
}
