// unitctl: queries and sets the MCU over SPI. One option per run; without
// an option it becomes the telemetry service.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "exit_with_error.h"
#include "local_version.h"
#include "mcu.h"
#include "program_version.h"
#include "spi_link.h"
#include "spidev.h"
#include "telemetry.h"
#include "usbc_report.h"

// The one place that decides what unitctl prints when something fails and
// with which status it ends: the actions below print their results and
// failure lines, the lower layers only return what happened.
namespace {

// The device could not be opened or configured: the run ends there.
void end_if_set_up_failed(const spi_link* link) {
  if (link->setup.what == nullptr) return;
  errno = link->setup.error;
  exit_with_error(link->setup.what);
}

// After a failed transaction: the device set-up that failed ends the run;
// a bus kept by another process is said on standard error.
void report_link(const spi_link* link) {
  end_if_set_up_failed(link);
  if (link->refused) spidev_report_busy(&link->device);
}

int fail(const spi_link* link, const char* line) {
  report_link(link);
  printf("%s\n", line);
  return 1;
}

// "1" is on, "0" is off, anything else is refused (-1).
int on_off(const char* arg) {
  if (strcmp(arg, "1") == 0) return 1;
  if (strcmp(arg, "0") == 0) return 0;
  return -1;
}

int read_battery_level(spi_link* link) {
  uint8_t level = 0;
  if (mcu_get_battery_level(link, &level) != 0) return fail(link, "Unable to read battery level");
  printf("Battery level: %d %%\n", (int)level);
  return 0;
}

int read_charging_status(spi_link* link) {
  uint8_t status = 0;
  if (mcu_get_charging_status(link, &status) != 0) return fail(link, "Unable to read charging status");
  switch (status) {
    case 0: printf("Charging status: OFF\n"); break;
    case 1: printf("Charging status: ON\n"); break;
    case 2: printf("Charging status: ERROR\n"); break;
    default: return fail(link, "Unable to read charging status");
  }
  return 0;
}

int print_firmware_version(spi_link* link) {
  version_info version;
  memset(&version, 0, sizeof version);
  if (mcu_get_firmware_version(link, &version) != 0) return fail(link, "Unable to get firmware version");
  printf("MCU firmware version: %u.%u.%u\n", (unsigned)version.major, (unsigned)version.minor,
         (unsigned)version.patch);
  printf("Build number: %u\n", (unsigned)version.build);
  printf("Commit ID: %s\n", version.commit_id_short);
  return 0;
}

int print_uuid(spi_link* link) {
  uint8_t uuid[UUID_LEN];
  if (mcu_get_uuid(link, uuid) != 0) return fail(link, "Unable to get UUID");
  printf("UUID: ");
  for (unsigned i = 0; i < sizeof uuid; ++i) printf("%02X ", (unsigned)uuid[i]);
  printf("\n");
  return 0;
}

int read_serial_number(spi_link* link) {
  char serial[SERIAL_LEN + 1];
  if (mcu_get_serial_number(link, serial) != 0)
    return fail(link, "Unable to read serial number from MCU");
  printf("Serial number: %s\n", serial);
  return 0;
}

int write_serial_number(spi_link* link, const char* arg) {
  if (strlen(arg) != SERIAL_LEN)
    return fail(
        link, "Serial number needs to be exactly 10 characters, and in the following format: "
        "SUVV-BBXXX\n"
        "Where VV is board iteration, BB is batch version, and XXX is the production number "
        "in said batch.");
  char serial[SERIAL_LEN + 1];
  memcpy(serial, arg, SERIAL_LEN);
  serial[SERIAL_LEN] = '\0';
  if (mcu_set_serial_number(link, serial) != 0) return fail(link, "Unable to write serial number");
  printf("Serial number successfully written\n");
  return 0;
}

int print_usbc(spi_link* link) {
  usbc_state state;
  memset(&state, 0, sizeof state);
  if (mcu_get_usbc_state(link, &state) != 0) return fail(link, "Unable to get USB controller data");
  print_usbc_state(&state);
  return 0;
}

int print_local_version() {
  version_info version = {};
  if (read_local_version(&version) != 0) {
    printf("Unable to get KRV version\n");
    return 1;
  }
  printf("KRV version: %u.%u.%u\n", static_cast<unsigned>(version.major),
         static_cast<unsigned>(version.minor), static_cast<unsigned>(version.patch));
  printf("Build number: %u\n", static_cast<unsigned>(version.build));
  printf("Commit ID: %s\n", version.commit_id_short);
  return 0;
}

void print_version_line(const char* prefix, const version_info* v) {
  printf("%s: %u.%u.%u+%u.%s\n", prefix, static_cast<unsigned>(v->major),
         static_cast<unsigned>(v->minor), static_cast<unsigned>(v->patch),
         static_cast<unsigned>(v->build), v->commit_id_short);
}

// Attempts at the MCU's firmware version before -f gives up.
constexpr int FIRMWARE_VERSION_ATTEMPTS = 3;

int check_versions(spi_link* link) {
  version_info local = {};
  version_info mcu = {};

  const bool have_local = read_local_version(&local) == 0;
  if (have_local) {
    print_version_line("Local version", &local);
  } else {
    printf("Unable to get local version number\n");
  }

  bool have_mcu = false;
  for (int attempt = 0; attempt < FIRMWARE_VERSION_ATTEMPTS && !have_mcu; ++attempt) {
    have_mcu = mcu_get_firmware_version(link, &mcu) == 0;
  }
  if (!have_mcu) {
    end_if_set_up_failed(link);
    printf("Unable to get firmware version from MCU\n");
    report_link(link);
    return 1;
  }
  print_version_line("MCU version", &mcu);

  if (!have_local) return 1;
  if (compare_versions(&local, &mcu) != 0) {
    printf("Versions do not match\n");
    return 1;
  }
  printf("Versions match\n");
  return 0;
}

// The no-option entry: the service runs until it is killed, or until it
// cannot go on.
int telemetry(spi_link* link) {
  telemetry_failure failure = {nullptr, 0, nullptr, nullptr};
  run_telemetry(link, getenv(TELEMETRY_DESTINATION_VARIABLE), &failure);
  end_if_set_up_failed(link);
  fflush(stdout);
  errno = failure.error;
  if (failure.value != nullptr) {
    fprintf(stderr, "%s \"%s\": %s\n", failure.what, failure.value, failure.reason);
  } else if (failure.reason != nullptr) {
    fprintf(stderr, "%s: %s\n", failure.what, failure.reason);
  } else {
    perror(failure.what);
  }
  return 1;
}

// One row per option, in the order of the help text: its letter, whether it
// takes an argument, its lines in the help text, and its action. The option
// string for getopt and the help text are built from these rows. Letter 0 is the entry taken
// when there is no option: the telemetry service.
struct option_row {
  char letter;
  bool takes_argument;
  const char* help;
  // How long the action's transactions may wait for the bus in all; 0: the
  // action does not use the device.
  int32_t lock_wait_ms;
  int (*action)(spi_link* link, const char* argument, const char* program, const option_row* row);
  // The setting the option writes, for the options that write one.
  const struct setting* written;
};

// A setting written to the MCU: how the option's argument gives its value,
// the MCU operation and what is printed when the argument is refused, when
// the MCU does not take the value and when it does ("enabled" or "disabled"
// fills a %s; null: nothing).
struct setting {
  int (*set)(spi_link* link, int value);
  bool single_digit;  // one character read as a number; otherwise "1" or "0"
  const char* refused;
  const char* failed;
  const char* done;
};

const setting TEST_MODE = {mcu_set_test_mode, false, "Invalid argument!", "Unable to set test mode",
                           "Test mode %s.\n"};
const setting LINK_LED = {mcu_set_link_led, false, "Invalid argument!", "Unable to set link led",
                          "Link led is %s.\n"};
const setting RESET_MODE = {mcu_set_reset_mode, false, "Invalid argument to change reset mode",
                            "Unable to set reset mode!", nullptr};
const setting USBC_MODE = {mcu_set_usbc_mode, true, "Need to pass usb mode 0 - 3",
                           "Unable to set USB mode", "Mode successfully set\n"};
const setting USBC_CURRENT_MODE = {mcu_set_usbc_current_mode, true,
                                   "Need to pass current mode to advertise (0 - 2)",
                                   "Unable to set USB current mode advertised",
                                   "Current mode successfully set\n"};

// The value the argument gives, or -1 when it is refused. A single
// character that is not a digit reads as 0, as atoi has it.
int setting_value(const setting& s, const char* arg) {
  if (!s.single_digit) return on_off(arg);
  if (strlen(arg) != 1) return -1;
  return arg[0] >= '0' && arg[0] <= '9' ? arg[0] - '0' : 0;
}

int write_setting(spi_link* link, const char* arg, const char*, const option_row* row) {
  const setting& s = *row->written;
  const int value = setting_value(s, arg);
  if (value < 0) return fail(link, s.refused);
  if (s.set(link, value) != 0) return fail(link, s.failed);
  if (s.done != nullptr) printf(s.done, value ? "enabled" : "disabled");
  return 0;
}

int print_usage(const char* program);

constexpr int32_t NO_DEVICE = 0;
constexpr int32_t DEVICE = SPI_LINK_LOCK_WAIT_MS;

const option_row OPTION_ROWS[] = {
    {'h', false, "-h\n    Print this help and exit\n",
     NO_DEVICE,
     [](spi_link*, const char*, const char* program, const option_row*) {
       return print_usage(program);
     },
     nullptr},
    {'V', false, "-V\n    Print unitctl's version and exit\n",
     NO_DEVICE,
     [](spi_link*, const char*, const char*, const option_row*) {
       print_program_version("unitctl");
       return 0;
     },
     nullptr},
    {'b', false, "-b\n    Read the battery level\n",
     DEVICE,
     [](spi_link* link, const char*, const char*, const option_row*) {
       return read_battery_level(link);
     },
     nullptr},
    {'c', false, "-c\n    Read the current charging status\n",
     DEVICE,
     [](spi_link* link, const char*, const char*, const option_row*) {
       return read_charging_status(link);
     },
     nullptr},
    {'t', true, "-t\n    Turn the status LEDs on or off by passing 1 or 0 as an argument\n",
     DEVICE,
     write_setting, &TEST_MODE},
    {'l', true, "-l\n    Enable the link LED by passing 1 or 0 as an argument\n",
     DEVICE,
     write_setting, &LINK_LED},
    {'w', false, "-w\n    Print the firmware version\n",
     DEVICE,
     [](spi_link* link, const char*, const char*, const option_row*) {
       return print_firmware_version(link);
     },
     nullptr},
    {'v', false, "-v\n    Print the KRV version\n",
     NO_DEVICE,
     [](spi_link*, const char*, const char*, const option_row*) {
       return print_local_version();
     },
     nullptr},
    {'r', true, "-r\n    Turn reset mode on or off by passing 1 or 0 as an argument\n",
     DEVICE,
     write_setting, &RESET_MODE},
    {'u', false, "-u\n    Print the surface unit's UUID\n",
     DEVICE,
     [](spi_link* link, const char*, const char*, const option_row*) {
       return print_uuid(link);
     },
     nullptr},
    {'f', false, "-f\n    Compare local version number in XML file and version number on MCU\n",
     DEVICE,
     [](spi_link* link, const char*, const char*, const option_row*) {
       return check_versions(link);
     },
     nullptr},
    {'s', false, "-s\n    Read serial number flashed in EEPROM\n",
     DEVICE,
     [](spi_link* link, const char*, const char*, const option_row*) {
       return read_serial_number(link);
     },
     nullptr},
    {'S', true,
     "-S [number]\n"
     "    Write serial number to EEPROM, needs to be in the following format:\n"
     "    SUVV-BBXXX\n"
     "    Where VV is board iteration, BB is batch version, and XXX is the \n"
     "    production number in said batch.\n",
     DEVICE,
     [](spi_link* link, const char* arg, const char*, const option_row*) {
       return write_serial_number(link, arg);
     }, nullptr},
    {'U', false, "-U\n    Read and print state of the USB-C controller\n",
     DEVICE,
     [](spi_link* link, const char*, const char*, const option_row*) {
       return print_usbc(link);
     },
     nullptr},
    {'m', true,
     "-m [mode]\n"
     "    Set the mode for the USB-C controller. Valid values are:\n"
     "      0 : Maintain mode according to PORT pin selection (default)\n"
     "      1 : UFP mode (unattached.SNK)\n"
     "      2 : DFP mode (unattached.SRC)\n"
     "      3 : DRP mode (start from unattached.SNK)\n",
     DEVICE,
     write_setting, &USBC_MODE},
    {'M', true,
     "-M [mode]\n"
     "    Set the current mode advertised for the USB-C controller. Valid values:\n"
     "      0 : Default (500 mA / 900 mA) initial value at startup\n"
     "      1 : Medium (1.5 A)\n"
     "      2 : High (3 A)\n",
     DEVICE,
     write_setting, &USBC_CURRENT_MODE},
    {0, false, "  No argument\n    Read data and publish over UDP\n"
        "    (to TELEMETRY_DESTINATION=host[:port] when set)\n",
     TELEMETRY_LOCK_WAIT_MS,
     [](spi_link* link, const char*, const char*, const option_row*) {
       return telemetry(link);
     },
     nullptr},
};

const unsigned OPTION_COUNT = sizeof OPTION_ROWS / sizeof OPTION_ROWS[0];

int print_usage(const char* program) {
  printf("Usage: %s [OPTIONS]\n", program);
  fputs("OPTIONS:\n", stdout);
  for (const option_row& row : OPTION_ROWS) fputs(row.help, stdout);
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
  const bool verbose_output = verbose != nullptr && strcmp(verbose, "1") == 0;

  char options[2 + 2 * OPTION_COUNT];
  build_option_string(options);
  const int opt = getopt(argc, argv, options);
  // -1: no option at all, the no-option entry (letter 0). '?' and ':' are in
  // no row: an unknown option or a missing argument, and getopt said why.
  const option_row* row = find_option(opt == -1 ? 0 : opt);
  if (row == nullptr) return 1;
  // Every action but -h, -V and -v opens the device before anything else; the
  // descriptor lives until the process ends.
  spi_link link{};
  if (row->lock_wait_ms != NO_DEVICE) {
    spi_link_open(&link, verbose_output, row->lock_wait_ms);
    end_if_set_up_failed(&link);
  }
  return row->action(&link, optarg, argc > 0 && argv[0] ? argv[0] : "unitctl", row);
}
