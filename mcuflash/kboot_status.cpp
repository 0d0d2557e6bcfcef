#include <string.h>

#include "kboot_packet.h"

const char* kboot_status_name(uint32_t status) {
  // Codes and names side by side, the names in one string: no table of
  // pointers, which a position-independent program relocates at start.
  static const uint16_t codes[] = {0,     1,     2,     3,     4,     5,     101,   102,
                                   103,   104,   105,   10000, 10001, 10002, 10003, 10004,
                                   10005, 10200, 10300, 10301, 10302};
  static const char names[] =
      "success\0failure\0read-only\0out of range\0invalid argument\0timeout\0"
      "flash alignment error\0flash address error\0flash access error\0"
      "flash protection violation\0flash command failure\0unknown command\0"
      "security violation (the MCU is secured)\0data phase aborted\0ping error\0"
      "no response\0no response expected\0memory range invalid\0unknown property\0"
      "read-only property\0invalid property value\0unknown status";
  const char* name = names;
  for (size_t i = 0; i < sizeof codes / sizeof codes[0] && codes[i] != status; ++i)
    name += strlen(name) + 1;
  return name;
}
