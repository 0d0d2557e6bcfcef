// The MCU command set. Each operation sends a 2-byte command word, runs one
// read or write transaction with its fixed length, wait and repeat count,
// checks the reply and only then stores the decoded result.
#include "mcu.h"

#include <string.h>

#include "spi_link.h"

namespace {

// Byte 0 is the command code; byte 1 repeats it, or carries the argument of
// the set commands that travel in a read transaction.
struct mcu_command {
  uint8_t bytes[2];
};

mcu_command command_word(uint8_t code) { return mcu_command{{code, code}}; }
mcu_command command_with_arg(uint8_t code, int arg) {
  return mcu_command{{code, (uint8_t)(arg & 0xFF)}};
}

enum : uint8_t {
  CMD_BATTERY_LEVEL = 0x01,
  CMD_CHARGING_STATUS = 0x02,
  CMD_FIRMWARE_VERSION = 0x03,
  CMD_TEST_MODE = 0x04,
  CMD_RESET_MODE = 0x05,
  CMD_LINK_LED = 0x06,
  CMD_UUID = 0x07,
  CMD_SERIAL_NUMBER = 0x08,
  CMD_SET_SERIAL_NUMBER = 0x09,
  CMD_USBC_STATE = 0x10,
  CMD_USBC_MODE = 0x11,
  CMD_USBC_CURRENT_MODE = 0x12,
};

const uint8_t RETRIES = 2;

// Milliseconds the MCU needs: between the command word and the data phase
// of a read, between the data phase and the acknowledgement of a write.
const uint8_t QUERY_WAIT_MS = 5;          // battery, charging, firmware version, set commands
const uint8_t IDENTITY_WAIT_MS = 20;      // UUID and serial number reads
const uint8_t EEPROM_WRITE_WAIT_MS = 175; // serial number write
const uint8_t USBC_STATE_WAIT_MS = 175;   // USB-C controller state read
const uint8_t USBC_WRITE_WAIT_MS = 200;   // USB-C mode and advertised current

const unsigned USBC_STATE_LEN = 3;
const unsigned FIRMWARE_VERSION_LEN = 13;
const unsigned COMMIT_ID_LEN = 7;

const uint8_t BATTERY_LEVEL_MAX = 100;
const uint8_t CHARGING_STATUS_MAX = 2;

// Battery level and charging status: one byte, accepted up to a limit.
int ranged_query(spi_link* link, uint8_t code, uint8_t limit, uint8_t* value) {
  const mcu_command cmd = command_word(code);
  uint8_t reply[1];
  if (mcu_read(link, cmd.bytes, reply, sizeof reply, QUERY_WAIT_MS, RETRIES) != 0) return 1;
  if (reply[0] > limit) return 1;
  *value = reply[0];
  return 0;
}

// Test mode, reset mode, link LED: the MCU confirms with a status byte of 1.
int set_with_arg(spi_link* link, uint8_t code, int arg) {
  const mcu_command cmd = command_with_arg(code, arg);
  uint8_t reply[1];
  if (mcu_read(link, cmd.bytes, reply, sizeof reply, QUERY_WAIT_MS, RETRIES) != 0) return 1;
  return reply[0] == MCU_STATUS_OK ? 0 : 1;
}

// UUID, serial number, USB-C state: data bytes followed by a status byte.
// On success the len - 1 data bytes are in reply.
int query_with_status(spi_link* link, uint8_t code, uint8_t* reply, unsigned len, uint8_t delay_ms) {
  const mcu_command cmd = command_word(code);
  if (mcu_read(link, cmd.bytes, reply, len, delay_ms, RETRIES) != 0) return 1;
  return reply[len - 1] == MCU_STATUS_OK ? 0 : 1;
}

int write_payload(spi_link* link, uint8_t code, const uint8_t* payload, unsigned len, uint8_t delay_ms) {
  const mcu_command cmd = command_word(code);
  return mcu_write(link, cmd.bytes, payload, len, delay_ms, RETRIES);
}

}  // namespace

int mcu_get_battery_level(spi_link* link, uint8_t* level) {
  return ranged_query(link, CMD_BATTERY_LEVEL, BATTERY_LEVEL_MAX, level);
}

int mcu_get_charging_status(spi_link* link, uint8_t* status) {
  return ranged_query(link, CMD_CHARGING_STATUS, CHARGING_STATUS_MAX, status);
}

int mcu_get_firmware_version(spi_link* link, version_info* version) {
  const mcu_command cmd = command_word(CMD_FIRMWARE_VERSION);
  uint8_t reply[FIRMWARE_VERSION_LEN];
  if (mcu_read(link, cmd.bytes, reply, sizeof reply, QUERY_WAIT_MS, RETRIES) != 0) return 1;
  version->major = reply[0];
  version->minor = reply[1];
  version->patch = (uint16_t)((reply[2] << 8) | reply[3]);
  version->build = (uint16_t)((reply[4] << 8) | reply[5]);
  memcpy(version->commit_id_short, reply + 6, COMMIT_ID_LEN);
  version->commit_id_short[COMMIT_ID_LEN] = '\0';
  return 0;
}

int mcu_set_test_mode(spi_link* link, int on) { return set_with_arg(link, CMD_TEST_MODE, on); }

int mcu_set_reset_mode(spi_link* link, int on) { return set_with_arg(link, CMD_RESET_MODE, on); }

int mcu_set_link_led(spi_link* link, int on) { return set_with_arg(link, CMD_LINK_LED, on); }

int mcu_get_uuid(spi_link* link, uint8_t* uuid) {
  uint8_t reply[UUID_LEN + 1];
  if (query_with_status(link, CMD_UUID, reply, sizeof reply, IDENTITY_WAIT_MS) != 0) return 1;
  memcpy(uuid, reply, UUID_LEN);
  return 0;
}

int mcu_get_serial_number(spi_link* link, char* serial) {
  uint8_t reply[SERIAL_LEN + 1];
  if (query_with_status(link, CMD_SERIAL_NUMBER, reply, sizeof reply, IDENTITY_WAIT_MS) != 0)
    return 1;
  memcpy(serial, reply, SERIAL_LEN);
  serial[SERIAL_LEN] = '\0';
  return 0;
}

int mcu_set_serial_number(spi_link* link, const char* serial) {
  uint8_t payload[SERIAL_LEN];
  memcpy(payload, serial, SERIAL_LEN);
  return write_payload(link, CMD_SET_SERIAL_NUMBER, payload, sizeof payload, EEPROM_WRITE_WAIT_MS);
}

void mcu_decode_usbc_state(const uint8_t* bytes, usbc_state* state) {
  const unsigned b0 = bytes[0];
  const unsigned b1 = bytes[1];
  const unsigned b2 = bytes[2];
  state->current_mode_advertised = (b0 >> 6) & 0x3u;
  state->current_mode_detected = (b0 >> 4) & 0x3u;
  state->attached_accessory = (b0 >> 1) & 0x7u;
  state->active_cable = (uint8_t)(b0 & 0x1u);
  state->attached_state = (b1 >> 6) & 0x3u;
  state->cable_orientation = (b1 >> 5) & 0x1u;
  state->drp_duty_cycle = (b1 >> 1) & 0x3u;
  state->cc_debounce = (b2 >> 6) & 0x3u;
  state->mode_select = (b2 >> 4) & 0x3u;
}

int mcu_get_usbc_state(spi_link* link, usbc_state* state) {
  uint8_t reply[USBC_STATE_LEN + 1];
  if (query_with_status(link, CMD_USBC_STATE, reply, sizeof reply, USBC_STATE_WAIT_MS) != 0)
    return 1;
  mcu_decode_usbc_state(reply, state);
  return 0;
}

int mcu_set_usbc_mode(spi_link* link, int mode) {
  const uint8_t payload[1] = {(uint8_t)(mode & 0xFF)};
  return write_payload(link, CMD_USBC_MODE, payload, sizeof payload, USBC_WRITE_WAIT_MS);
}

int mcu_set_usbc_current_mode(spi_link* link, int mode) {
  const uint8_t payload[1] = {(uint8_t)(mode & 0xFF)};
  return write_payload(link, CMD_USBC_CURRENT_MODE, payload, sizeof payload, USBC_WRITE_WAIT_MS);
}
