#include "gpio.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "kboot_link.h"

namespace {

constexpr size_t GPIO_PATH_SIZE = 255;

void write_file(const char* path, const char* data, size_t length) {
  const int fd = open(path, O_WRONLY);
  if (fd < 0) return;
  if (write(fd, data, length) < 0) {
    // Nothing to do: the line simply keeps its level.
  }
  close(fd);
}

}  // namespace

void gpio_export(int line) {
  char text[16];
  const int length = snprintf(text, sizeof text, "%d", line);
  if (length > 0) write_file("/sys/class/gpio/export", text, static_cast<size_t>(length));
}

void gpio_set_direction(int line, int output) {
  char path[GPIO_PATH_SIZE];
  snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/direction", line);
  if (output) {
    write_file(path, "out", 3);
  } else {
    write_file(path, "in", 2);
  }
}

void gpio_set_value(int line, int value) {
  char path[GPIO_PATH_SIZE];
  snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/value", line);
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  write_file(path, text, 1);
}

void gpio_init_lines(void) {
  const int lines[] = {GPIO_LINE_11, GPIO_BOOT_SELECT, GPIO_RESET};
  for (const int line : lines) {
    verbose_printf("Pin %d: ", line);
    char path[GPIO_PATH_SIZE];
    snprintf(path, sizeof path, "/sys/class/gpio/gpio%d", line);
    if (access(path, F_OK) != 0) {
      verbose_printf("Initializing\n");
      gpio_export(line);
      gpio_set_direction(line, 1);
      gpio_set_value(line, 1);
    } else {
      verbose_printf("Already initialized\n");
    }
  }
}

void mcu_reboot(void) {
  gpio_set_value(GPIO_LINE_11, 1);
  gpio_set_value(GPIO_BOOT_SELECT, 1);
  gpio_set_value(GPIO_RESET, 1);
  gpio_set_value(GPIO_RESET, 0);
  gpio_set_value(GPIO_RESET, 1);
}

void mcu_enter_bootloader(void) {
  gpio_set_value(GPIO_LINE_11, 1);
  gpio_set_value(GPIO_BOOT_SELECT, 1);
  gpio_set_value(GPIO_RESET, 1);
  gpio_set_value(GPIO_RESET, 0);
  gpio_set_value(GPIO_BOOT_SELECT, 0);
  gpio_set_value(GPIO_RESET, 1);
}

void mcu_restart_only(void) {
  verbose_printf("Initializing GPIOs\n");
  gpio_init_lines();
  verbose_printf("Rebooting MCU...\n");
  mcu_reboot();
  printf("MCU successfully rebooted\n");
  flash_exit(0);
}
