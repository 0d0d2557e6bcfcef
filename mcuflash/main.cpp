// mcuflash: downloads a firmware image into the MCU through its KBoot ROM
// bootloader, or with -r only restarts the MCU.
#include <stdio.h>
#include <unistd.h>

#include "flash_run.h"
#include "image.h"
#include "spi_transport.h"
#include "spidev.h"

namespace {

void print_usage(const char* program) {
  printf("Usage: %s [OPTIONS] binary-file\n"
         "  -h                   Print this help and exit\n"
         "  -v                   Enable verbose output\n"
         "  -r                   Reboot MCU\n",
         program);
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = (argc > 0 && argv[0] != nullptr) ? argv[0] : "mcuflash";
  // '+': options end at the first operand; arguments are never reordered.
  int option;
  while ((option = getopt(argc, argv, "+vrh")) != -1) {
    switch (option) {
      case 'v':
        verbose = 1;
        break;
      case 'r':
        return flash_restart_only();
      case 'h':
        print_usage(program);
        return 0;
      default:
        print_usage(program);
        return 1;
    }
  }
  if (optind >= argc) {
    fprintf(stderr, "Please supply a file to flash\n");
    print_usage(program);
    return 1;
  }
  const char* path = argv[optind];
  if (access(path, F_OK) != 0) abort_with_error(path);

  flash_image image;
  if (image_open(path, &image) != 0) return 1;

  // The bus is this run's from before the first GPIO write until after the
  // last; the shared settings are written under the lock too.
  const int fd = spidev_open();
  if (flash_take_bus(fd) != 0) return 1;
  spi_configure(fd);
  return flash_run(fd, &image, path);
}
