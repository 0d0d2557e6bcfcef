#include "flash_run.h"

#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include "gpio.h"
#include "kboot_commands.h"
#include "kboot_link.h"

void flash_wake_up(int fd) {
  // The bootloader needs a moment after its restart; the bytes it returns
  // meanwhile mean nothing.
  const time_t start = time(nullptr);
  for (;;) {
    if (time(nullptr) - start >= 2) break;
    const uint8_t wake = 0xFF;
    uint8_t ignored = 0;
    spi_exchange(fd, &wake, &ignored, 1);
  }
}

void flash_firmware(int fd, flash_image* image, const char* path) {
  mcu_reboot();
  verbose_printf("Entering kboot\n");
  mcu_enter_bootloader();
  verbose_printf("Establishing communication with KBoot\n");
  flash_wake_up(fd);
  kboot_ping(fd);
  kboot_erase_all_unsecure(fd);
  kboot_write_memory(fd, image, path);
  kboot_execute(fd, FLASH_JUMP_ADDRESS, FLASH_ARGUMENT, FLASH_STACK_POINTER);
}

void flash_run(int fd, flash_image* image, const char* path) {
  printf("Flashing %s\n", path);
  gpio_init_lines();
  flash_firmware(fd, image, path);
  close(fd);
  mcu_reboot();
  printf("Successfully flashed %s.\n", path);
  flash_exit(0);
}
