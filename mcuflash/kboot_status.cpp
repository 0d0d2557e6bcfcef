#include "kboot_packet.h"

const char* kboot_status_name(uint32_t status) {
  static const struct {
    uint16_t code;
    const char* name;
  } names[] = {
      {0, "success"},
      {1, "failure"},
      {2, "read-only"},
      {3, "out of range"},
      {4, "invalid argument"},
      {5, "timeout"},
      {101, "flash alignment error"},
      {102, "flash address error"},
      {103, "flash access error"},
      {104, "flash protection violation"},
      {105, "flash command failure"},
      {10000, "unknown command"},
      {10001, "security violation (the MCU is secured)"},
      {10002, "data phase aborted"},
      {10003, "ping error"},
      {10004, "no response"},
      {10005, "no response expected"},
      {10200, "memory range invalid"},
      {10300, "unknown property"},
      {10301, "read-only property"},
      {10302, "invalid property value"},
  };
  for (const auto& n : names)
    if (n.code == status) return n.name;
  return "unknown status";
}
