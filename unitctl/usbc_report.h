// The readable report of the USB-C controller state.
#pragma once

#include "mcu.h"

void print_usbc_state(const usbc_state* state);
