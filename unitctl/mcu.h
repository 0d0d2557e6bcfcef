// The MCU command set: twelve operations, each 0 on success and 1 on
// failure, printing nothing and leaving its output untouched on failure.
#pragma once

#include <stdint.h>

#define MCU_STATUS_OK 1

// The serial number in the MCU's EEPROM has SERIAL_LEN characters; buffers
// that hold it as text have one byte more for the terminator.
constexpr unsigned SERIAL_LEN = 10;
constexpr unsigned UUID_LEN = 16;

struct version_info {
  uint8_t major;
  uint8_t minor;
  uint16_t patch;
  uint16_t build;
  char commit_id_short[8];
};

struct usbc_state {
  uint32_t current_mode_advertised;
  uint32_t current_mode_detected;
  uint32_t attached_accessory;
  uint8_t active_cable;
  uint32_t attached_state;
  uint32_t cable_orientation;
  uint32_t drp_duty_cycle;
  uint32_t cc_debounce;
  uint32_t mode_select;
};

int mcu_get_battery_level(int fd, uint8_t* level);
int mcu_get_charging_status(int fd, uint8_t* status);
int mcu_get_firmware_version(int fd, version_info* version);
int mcu_set_test_mode(int fd, int on);
int mcu_set_reset_mode(int fd, int on);
int mcu_set_link_led(int fd, int on);
int mcu_get_uuid(int fd, uint8_t* uuid);                 // UUID_LEN bytes
int mcu_get_serial_number(int fd, char* serial);         // SERIAL_LEN + 1 characters
int mcu_set_serial_number(int fd, const char* serial);   // first SERIAL_LEN characters sent
int mcu_get_usbc_state(int fd, usbc_state* state);
// The controller's three state bytes, bit fields to record.
void mcu_decode_usbc_state(const uint8_t* bytes, usbc_state* state);
int mcu_set_usbc_mode(int fd, int mode);
int mcu_set_usbc_current_mode(int fd, int mode);
