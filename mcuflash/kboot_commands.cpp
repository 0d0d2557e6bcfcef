#include "kboot_commands.h"

#include <stdio.h>
#include <string.h>

namespace {

constexpr char SPINNER[] = "/-\\|";

// Sends a command packet, then waits for its ACK and its generic response.
void send_command(int fd, uint8_t tag, uint8_t reserved, const uint32_t* parameters,
                  size_t count, const char* label) {
  uint8_t packet[KBOOT_COMMAND_MAX_SIZE];
  const size_t size = kboot_build_command(packet, tag, reserved, parameters, count);
  trace_dump(packet, size, size, label);
  uint8_t ignored[KBOOT_COMMAND_MAX_SIZE];
  spi_exchange(fd, packet, ignored, static_cast<uint32_t>(size));
  kboot_wait_ack(fd);
  kboot_read_generic_response(fd);
}

}  // namespace

size_t kboot_build_command(uint8_t* packet, uint8_t tag, uint8_t reserved,
                           const uint32_t* parameters, size_t count) {
  if (count > KBOOT_MAX_PARAMETERS) count = KBOOT_MAX_PARAMETERS;
  uint8_t* payload = packet + KBOOT_HEADER_SIZE;
  payload[0] = tag;
  payload[1] = 0x00;  // flags
  payload[2] = reserved;
  payload[3] = static_cast<uint8_t>(count);
  for (size_t i = 0; i < count; ++i) put_u32_le(payload + 4 + 4 * i, parameters[i]);
  return kboot_frame(packet, KBOOT_PACKET_COMMAND, static_cast<uint16_t>(4 + 4 * count));
}

size_t kboot_build_data(uint8_t* packet, const uint8_t* chunk, size_t length) {
  if (length > KBOOT_DATA_CHUNK) length = KBOOT_DATA_CHUNK;
  memcpy(packet + KBOOT_HEADER_SIZE, chunk, length);
  return kboot_frame(packet, KBOOT_PACKET_DATA, static_cast<uint16_t>(length));
}

void kboot_erase_all_unsecure(int fd) {
  send_command(fd, KBOOT_CMD_ERASE_ALL_UNSECURE, 0xCC, nullptr, 0, "erase all unsecure");
}

void kboot_write_memory(int fd, flash_image* image, const char* path) {
  const uint32_t size = image->size;
  printf("File size %s: %lu\n", path, static_cast<unsigned long>(size));
  const uint32_t parameters[2] = {0, size};
  send_command(fd, KBOOT_CMD_WRITE_MEMORY, 0x00, parameters, 2, "write memory");

  const long chunks = static_cast<long>(size / KBOOT_DATA_CHUNK + (size % KBOOT_DATA_CHUNK ? 1 : 0));
  printf("/");
  uint32_t remaining = size;
  for (long k = 1; remaining > 0; ++k) {
    verbose_printf("Flashing %ld of %ld ", k, chunks);
    const size_t length = remaining < KBOOT_DATA_CHUNK ? remaining : KBOOT_DATA_CHUNK;
    uint8_t chunk[KBOOT_DATA_CHUNK];
    if (image_read(image, path, chunk, length) != 0) flash_exit(1);
    uint8_t packet[KBOOT_DATA_MAX_SIZE];
    const size_t packet_size = kboot_build_data(packet, chunk, length);
    trace_dump(packet, packet_size, packet_size, "data");
    uint8_t ignored[KBOOT_DATA_MAX_SIZE];
    spi_exchange(fd, packet, ignored, static_cast<uint32_t>(packet_size));
    kboot_wait_ack(fd);
    if (!verbose) {
      fflush(stdout);
      printf("\b%c", SPINNER[k % 4]);
    }
    remaining -= static_cast<uint32_t>(length);
  }
  printf("\b");
  kboot_read_generic_response(fd);
}

void kboot_execute(int fd, uint32_t jump_address, uint32_t argument, uint32_t stack_pointer) {
  const uint32_t parameters[3] = {jump_address, argument, stack_pointer};
  send_command(fd, KBOOT_CMD_EXECUTE, 0x00, parameters, 3, "execute");
}
