#include "mcu_state.h"

volatile sig_atomic_t mcu_where = MCU_UNTOUCHED;

const char* mcu_state_text(int state) {
  static const char* const texts[] = {
      nullptr,
      "the MCU is held in reset or in its bootloader, its flash unchanged; "
      "mcuflash -r starts the unchanged firmware",
      "the MCU's flash is erased or partly written; flash a good image again "
      "(mcuflash -r alone will not help)",
      "the MCU's flash does not hold the image; flash a good image again "
      "(mcuflash -r alone will not help)",
      "the image is written but the MCU has not started it; mcuflash -r starts the written image",
      "the MCU was restarted into its unchanged firmware",
      nullptr,
  };
  return texts[state];
}
