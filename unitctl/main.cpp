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
  uint8_t uuid[UUID_LEN];
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

// One row per option: its letter, whether it takes an argument, its place
// and lines in the help text, and its action. The option string for getopt
// and the help text are built from these rows. Letter 0 is the entry taken
// when there is no option: the telemetry service.
struct option_row {
  char letter;
  bool takes_argument;
  int help_rank;
  const char* help;
  int (*action)(const char* argument, const char* program);
};

int print_usage(const char* program);

const option_row OPTION_ROWS[] = {
    {'r', true, 7, "-r\n    Turn reset mode on or off by passing 1 or 0 as an argument\n",
     [](const char* arg, const char*) { return set_reset_mode(arg); }},
    {'h', false, 0, "-h\n    Print this help and exit\n",
     [](const char*, const char* program) { return print_usage(program); }},
    {'w', false, 5, "-w\n    Print the firmware version\n",
     [](const char*, const char*) { return print_firmware_version(); }},
    {'v', false, 6, "-v\n    Print the KRV version\n",
     [](const char*, const char*) { return print_local_version(); }},
    {'b', false, 1, "-b\n    Read the battery level\n",
     [](const char*, const char*) { return read_battery_level(); }},
    {'c', false, 2, "-c\n    Read the current charging status\n",
     [](const char*, const char*) { return read_charging_status(); }},
    {'t', true, 3, "-t\n    Turn the status LEDs on or off by passing 1 or 0 as an argument\n",
     [](const char* arg, const char*) { return set_test_mode(arg); }},
    {'l', true, 4, "-l\n    Enable the link LED by passing 1 or 0 as an argument\n",
     [](const char* arg, const char*) { return set_link_led(arg); }},
    {'u', false, 8, "-u\n    Print the surface unit's UUID\n",
     [](const char*, const char*) { return print_uuid(); }},
    {'f', false, 9, "-f\n    Compare local version number in XML file and version number on MCU\n",
     [](const char*, const char*) {
       const int status = check_versions(spi_open());
       spi_link_report_busy();
       return status;
     }},
    {'s', false, 10, "-s\n    Read serial number flashed in EEPROM\n",
     [](const char*, const char*) { return read_serial_number(); }},
    {'S', true, 11,
     "-S [number]\n"
     "    Write serial number to EEPROM, needs to be in the following format:\n"
     "    SUVV-BBXXX\n"
     "    Where VV is board iteration, BB is batch version, and XXX is the \n"
     "    production number in said batch.\n",
     [](const char* arg, const char*) { return write_serial_number(arg); }},
    {'U', false, 12, "-U\n    Read and print state of the USB-C controller\n",
     [](const char*, const char*) { return print_usbc(); }},
    {'m', true, 13,
     "-m [mode]\n"
     "    Set the mode for the USB-C controller. Valid values are:\n"
     "      0 : Maintain mode according to PORT pin selection (default)\n"
     "      1 : UFP mode (unattached.SNK)\n"
     "      2 : DFP mode (unattached.SRC)\n"
     "      3 : DRP mode (start from unattached.SNK)\n",
     [](const char* arg, const char*) { return set_usbc_mode(arg); }},
    {'M', true, 14,
     "-M [mode]\n"
     "    Set the current mode advertised for the USB-C controller. Valid values:\n"
     "      0 : Default (500 mA / 900 mA) initial value at startup\n"
     "      1 : Medium (1.5 A)\n"
     "      2 : High (3 A)\n",
     [](const char* arg, const char*) { return set_usbc_current_mode(arg); }},
    {0, false, 15, "  No argument\n    Read data and publish over UDP\n",
     [](const char*, const char*) -> int { run_telemetry(); }},
};

const unsigned OPTION_COUNT = sizeof OPTION_ROWS / sizeof OPTION_ROWS[0];

int print_usage(const char* program) {
  printf("Usage: %s [OPTIONS]\n", program);
  fputs("OPTIONS:\n", stdout);
  for (unsigned rank = 0; rank < OPTION_COUNT; ++rank) {
    for (const option_row& row : OPTION_ROWS)
      if (row.help_rank == (int)rank) fputs(row.help, stdout);
  }
  fputs("\n", stdout);
  return 0;
}

// "+" keeps option parsing at the first plain word (arguments are never
// reordered), then each letter, with ':' when it takes an argument.
void build_option_string(char* out) {
  *out++ = '+';
  for (const option_row& row : OPTION_ROWS) {
    if (row.letter == 0) continue;
    *out++ = row.letter;
    if (row.takes_argument) *out++ = ':';
  }
  *out = '\0';
}

const option_row* find_option(int letter) {
  for (const option_row& row : OPTION_ROWS)
    if (row.letter == letter) return &row;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const char* verbose = getenv("VERBOSE_OUTPUT");
  verbose_output = verbose != nullptr && strcmp(verbose, "1") == 0;

  char options[2 + 2 * OPTION_COUNT];
  build_option_string(options);
  const int opt = getopt(argc, argv, options);
  // -1: no option at all, the no-option entry (letter 0). '?' and ':' are in
  // no row: an unknown option or a missing argument, and getopt said why.
  const option_row* row = find_option(opt == -1 ? 0 : opt);
  if (row == nullptr) return 1;
  return row->action(optarg, argc > 0 && argv[0] ? argv[0] : "unitctl");
}
