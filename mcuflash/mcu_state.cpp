#include "mcu_state.h"

volatile sig_atomic_t mcu_where = MCU_UNTOUCHED;

const char* mcu_state_text(int state) {
  switch (state) {
    case MCU_HELD:
      return "the MCU is held in reset or in its bootloader, its flash unchanged; "
             "mcuflash -r starts the unchanged firmware";
    case MCU_ERASED:
      return "the MCU's flash is erased or partly written; flash a good image again "
             "(mcuflash -r alone will not help)";
    case MCU_MISMATCH:
      return "the MCU's flash does not hold the image; flash a good image again "
             "(mcuflash -r alone will not help)";
    case MCU_WRITTEN:
      return "the image is written but the MCU has not started it; "
             "mcuflash -r starts the written image";
    case MCU_UNCHANGED:
      return "the MCU was restarted into its unchanged firmware";
    default:
      return nullptr;
  }
}
