#include "kboot_commands.h"

#include <stdio.h>

namespace {

constexpr char SPINNER[] = "/-\\|";

// Sends a command packet, then waits for its ACK and its generic response.
kboot_result send_command(int fd, uint8_t tag, uint8_t reserved, const uint32_t* parameters,
                          size_t count, const char* label) {
  uint8_t packet[KBOOT_COMMAND_MAX_SIZE];
  const size_t size = kboot_build_command(packet, tag, reserved, parameters, count);
  trace_dump(packet, size, size, label);
  kboot_result r = kboot_send_packet(fd, packet, size);
  if (r.status == kboot_status::ok) r = kboot_wait_ack(fd);
  if (r.status == kboot_status::ok) r = kboot_read_generic_response(fd);
  return r;
}

}  // namespace

kboot_result kboot_erase_all_unsecure(int fd) {
  return send_command(fd, KBOOT_CMD_ERASE_ALL_UNSECURE, 0xCC, nullptr, 0, "erase all unsecure");
}

kboot_result kboot_write_memory(int fd, flash_image* image, const char* path) {
  const uint32_t size = image->size;
  printf("File size %s: %lu\n", path, static_cast<unsigned long>(size));
  const uint32_t parameters[2] = {0, size};
  kboot_result r = send_command(fd, KBOOT_CMD_WRITE_MEMORY, 0x00, parameters, 2, "write memory");
  if (r.status != kboot_status::ok) return r;

  const long chunks = static_cast<long>(size / KBOOT_DATA_CHUNK + (size % KBOOT_DATA_CHUNK ? 1 : 0));
  printf("/");
  uint32_t remaining = size;
  for (long k = 1; remaining > 0; ++k) {
    verbose_printf("Flashing %ld of %ld ", k, chunks);
    const size_t length = remaining < KBOOT_DATA_CHUNK ? remaining : KBOOT_DATA_CHUNK;
    uint8_t chunk[KBOOT_DATA_CHUNK];
    if (image_read(image, path, chunk, length) != 0) {
      r.status = kboot_status::image_unreadable;
      return r;
    }
    uint8_t packet[KBOOT_DATA_MAX_SIZE];
    const size_t packet_size = kboot_build_data(packet, chunk, length);
    trace_dump(packet, packet_size, packet_size, "data");
    r = kboot_send_packet(fd, packet, packet_size);
    if (r.status == kboot_status::ok) r = kboot_wait_ack(fd);
    if (r.status != kboot_status::ok) return r;
    if (!verbose) {
      fflush(stdout);
      printf("\b%c", SPINNER[k % 4]);
    }
    remaining -= static_cast<uint32_t>(length);
  }
  printf("\b");
  return kboot_read_generic_response(fd);
}

kboot_result kboot_execute(int fd, uint32_t jump_address, uint32_t argument,
                           uint32_t stack_pointer) {
  const uint32_t parameters[3] = {jump_address, argument, stack_pointer};
  return send_command(fd, KBOOT_CMD_EXECUTE, 0x00, parameters, 3, "execute");
}
