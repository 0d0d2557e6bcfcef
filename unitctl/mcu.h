// The MCU command set: twelve operations, each 0 on success and 1 on
// failure, printing nothing and leaving its output untouched on failure.
#pragma once

#include <stdint.h>

struct spi_link;

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

int mcu_get_battery_level(spi_link* link, uint8_t* level);
int mcu_get_charging_status(spi_link* link, uint8_t* status);
int mcu_get_firmware_version(spi_link* link, version_info* version);
int mcu_set_test_mode(spi_link* link, int on);
int mcu_set_reset_mode(spi_link* link, int on);
int mcu_set_link_led(spi_link* link, int on);
int mcu_get_uuid(spi_link* link, uint8_t* uuid);                 // UUID_LEN bytes
int mcu_get_serial_number(spi_link* link, char* serial);         // SERIAL_LEN + 1 characters
int mcu_set_serial_number(spi_link* link, const char* serial);   // first SERIAL_LEN characters sent
int mcu_get_usbc_state(spi_link* link, usbc_state* state);
// The controller's three state bytes, bit fields to record.
void mcu_decode_usbc_state(const uint8_t* bytes, usbc_state* state);
int mcu_set_usbc_mode(spi_link* link, int mode);
int mcu_set_usbc_current_mode(spi_link* link, int mode);
