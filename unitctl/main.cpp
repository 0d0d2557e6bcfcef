// unitctl: queries and sets the MCU over SPI. One option per run; without
// an option it becomes the telemetry service.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "local_version.h"
#include "mcu.h"
#include "spi_link.h"
#include "telemetry.h"
#include "usbc_report.h"

namespace {

// The leading '+' keeps option parsing at the first plain word: arguments are
// never reordered.
const char OPTIONS[] = "+r:hwvbct:l:ufsS:Um:M:";

const unsigned SERIAL_LEN = 10;

const char USAGE_TEXT[] =
    "OPTIONS:\n"
    "-h\n"
    "    Print this help and exit\n"
    "-b\n"
    "    Read the battery level\n"
    "-c\n"
    "    Read the current charging status\n"
    "-t\n"
    "    Turn the status LEDs on or off by passing 1 or 0 as an argument\n"
    "-l\n"
    "    Enable the link LED by passing 1 or 0 as an argument\n"
    "-w\n"
    "    Print the firmware version\n"
    "-v\n"
    "    Print the KRV version\n"
    "-r\n"
    "    Turn reset mode on or off by passing 1 or 0 as an argument\n"
    "-u\n"
    "    Print the surface unit's UUID\n"
    "-f\n"
    "    Compare local version number in XML file and version number on MCU\n"
    "-s\n"
    "    Read serial number flashed in EEPROM\n"
    "-S [number]\n"
    "    Write serial number to EEPROM, needs to be in the following format:\n"
    "    SUVV-BBXXX\n"
    "    Where VV is board iteration, BB is batch version, and XXX is the \n"
    "    production number in said batch.\n"
    "-U\n"
    "    Read and print state of the USB-C controller\n"
    "-m [mode]\n"
    "    Set the mode for the USB-C controller. Valid values are:\n"
    "      0 : Maintain mode according to PORT pin selection (default)\n"
    "      1 : UFP mode (unattached.SNK)\n"
    "      2 : DFP mode (unattached.SRC)\n"
    "      3 : DRP mode (start from unattached.SNK)\n"
    "-M [mode]\n"
    "    Set the current mode advertised for the USB-C controller. Valid values:\n"
    "      0 : Default (500 mA / 900 mA) initial value at startup\n"
    "      1 : Medium (1.5 A)\n"
    "      2 : High (3 A)\n"
    "  No argument\n"
    "    Read data and publish over UDP\n"
    "\n";

void print_usage(const char* program) {
  printf("Usage: %s [OPTIONS]\n", program);
  fputs(USAGE_TEXT, stdout);
}

int fail(const char* line) {
  spi_link_report_busy();
  printf("%s\n", line);
  return 1;
}

// "1" is on, "0" is off, anything else is refused (-1).
int on_off(const char* arg) {
  if (strcmp(arg, "1") == 0) return 1;
  if (strcmp(arg, "0") == 0) return 0;
  return -1;
}

int read_battery_level() {
  const int fd = spi_open();
  uint8_t level = 0;
  if (mcu_get_battery_level(fd, &level) != 0) return fail("Unable to read battery level");
  printf("Battery level: %d %%\n", (int)level);
  return 0;
}

int read_charging_status() {
  const int fd = spi_open();
  uint8_t status = 0;
  if (mcu_get_charging_status(fd, &status) != 0) return fail("Unable to read charging status");
  switch (status) {
    case 0: printf("Charging status: OFF\n"); break;
    case 1: printf("Charging status: ON\n"); break;
    case 2: printf("Charging status: ERROR\n"); break;
    default: return fail("Unable to read charging status");
  }
  return 0;
}

int print_firmware_version() {
  const int fd = spi_open();
  version_info version;
  memset(&version, 0, sizeof version);
  if (mcu_get_firmware_version(fd, &version) != 0) return fail("Unable to get firmware version");
  printf("MCU firmware version: %u.%u.%u\n", (unsigned)version.major, (unsigned)version.minor,
         (unsigned)version.patch);
  printf("Build number: %u\n", (unsigned)version.build);
  printf("Commit ID: %s\n", version.commit_id_short);
  return 0;
}

int print_uuid() {
  const int fd = spi_open();
  uint8_t uuid[16];
  if (mcu_get_uuid(fd, uuid) != 0) return fail("Unable to get UUID");
  printf("UUID: ");
  for (unsigned i = 0; i < sizeof uuid; ++i) printf("%02X ", (unsigned)uuid[i]);
  printf("\n");
  return 0;
}

int read_serial_number() {
  const int fd = spi_open();
  char serial[SERIAL_LEN + 1];
  if (mcu_get_serial_number(fd, serial) != 0)
    return fail("Unable to read serial number from MCU");
  printf("Serial number: %s\n", serial);
  return 0;
}

int set_test_mode(const char* arg) {
  const int fd = spi_open();
  const int on = on_off(arg);
  if (on < 0) return fail("Invalid argument!");
  if (mcu_set_test_mode(fd, on) != 0) return fail("Unable to set test mode");
  printf("Test mode %s.\n", on ? "enabled" : "disabled");
  return 0;
}

int set_link_led(const char* arg) {
  const int fd = spi_open();
  const int on = on_off(arg);
  if (on < 0) return fail("Invalid argument!");
  if (mcu_set_link_led(fd, on) != 0) return fail("Unable to set link led");
  printf("Link led is %s.\n", on ? "enabled" : "disabled");
  return 0;
}

int set_reset_mode(const char* arg) {
  const int fd = spi_open();
  const int on = on_off(arg);
  if (on < 0) return fail("Invalid argument to change reset mode");
  if (mcu_set_reset_mode(fd, on) != 0) return fail("Unable to set reset mode!");
  return 0;
}

int write_serial_number(const char* arg) {
  const int fd = spi_open();
  if (strlen(arg) != SERIAL_LEN)
    return fail(
        "Serial number needs to be exactly 10 characters, and in the following format: "
        "SUVV-BBXXX\n"
        "Where VV is board iteration, BB is batch version, and XXX is the production number "
        "in said batch.");
  char serial[SERIAL_LEN + 1];
  memcpy(serial, arg, SERIAL_LEN);
  serial[SERIAL_LEN] = '\0';
  if (mcu_set_serial_number(fd, serial) != 0) return fail("Unable to write serial number");
  printf("Serial number successfully written\n");
  return 0;
}

int set_usbc_mode(const char* arg) {
  const int fd = spi_open();
  if (strlen(arg) != 1) return fail("Need to pass usb mode 0 - 3");
  if (mcu_set_usbc_mode(fd, atoi(arg)) != 0) return fail("Unable to set USB mode");
  printf("Mode successfully set\n");
  return 0;
}

int set_usbc_current_mode(const char* arg) {
  const int fd = spi_open();
  if (strlen(arg) != 1) return fail("Need to pass current mode to advertise (0 - 2)");
  if (mcu_set_usbc_current_mode(fd, atoi(arg)) != 0)
    return fail("Unable to set USB current mode advertised");
  printf("Current mode successfully set\n");
  return 0;
}

int print_usbc() {
  const int fd = spi_open();
  usbc_state state;
  memset(&state, 0, sizeof state);
  if (mcu_get_usbc_state(fd, &state) != 0) return fail("Unable to get USB controller data");
  print_usbc_state(&state);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* verbose = getenv("VERBOSE_OUTPUT");
  verbose_output = verbose != nullptr && strcmp(verbose, "1") == 0;

  const int opt = getopt(argc, argv, OPTIONS);
  switch (opt) {
    case -1: run_telemetry();
    case 'h': print_usage(argc > 0 && argv[0] ? argv[0] : "unitctl"); return 0;
    case 'b': return read_battery_level();
    case 'c': return read_charging_status();
    case 'w': return print_firmware_version();
    case 'u': return print_uuid();
    case 's': return read_serial_number();
    case 't': return set_test_mode(optarg);
    case 'l': return set_link_led(optarg);
    case 'r': return set_reset_mode(optarg);
    case 'S': return write_serial_number(optarg);
    case 'm': return set_usbc_mode(optarg);
    case 'M': return set_usbc_current_mode(optarg);
    case 'U': return print_usbc();
    case 'v': return print_local_version();
    case 'f': {
      const int fd = spi_open();
      const int status = check_versions(fd);
      spi_link_report_busy();
      return status;
    }
    default: return 1;  // unknown option or missing argument: getopt said why
  }
}
