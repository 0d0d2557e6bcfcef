// The readable report of the USB-C controller state: a heading and nine
// labelled lines, each value put into the wording of the controller's own
// settings.
#include "usbc_report.h"

#include <stdint.h>
#include <stdio.h>

namespace {

// Value texts of one line, indexed by the field's value; a null entry (or a
// value past the end) has no text and prints "Unknown (n)".
struct usbc_line {
  const char* label;
  const char* texts[8];
  unsigned count;
};

constexpr usbc_line CURRENT_MODE_ADVERTISED = {
    "Current mode advertised: ",
    {"Default (500mA/900mA)", "Medium (1.5A)", "High (3A)"},
    3,
};

constexpr usbc_line CURRENT_MODE_DETECTED = {
    "Current mode determined by UFP: ",
    {"Default", "Medium", "Charge through accessory (500 mA)", "High"},
    4,
};

constexpr usbc_line ATTACHED_ACCESSORY = {
    "Attached accessory: ",
    {"None", nullptr, nullptr, nullptr, "Audio", "Audio with through charge", "Debug"},
    7,
};

constexpr usbc_line ATTACHED_STATE = {
    "Attached state: ",
    {"Not attached", "SRC", "SNK", "Attached to an accessory"},
    4,
};

constexpr usbc_line CABLE_ORIENTATION = {
    "Cable orientation: ",
    {"CC1", "CC2"},
    2,
};

constexpr usbc_line DRP_DUTY_CYCLE = {
    "Percentage of time advertised as DFP during DRP: ",
    {"30 %", "40 %", "50 %", "60 %"},
    4,
};

// Not in ascending order: the controller's setting 0 is the 133 ms one.
constexpr usbc_line CC_DEBOUNCE = {
    "Amount of time voltage is debounced on CC pins: ",
    {"133 ms", "116 ms", "151 ms", "168 ms"},
    4,
};

constexpr usbc_line MODE_SELECT = {
    "Selected mode: ",
    {"According to PORT pin selection", "UFP (SNK)", "DFP (SRC)", "DRP"},
    4,
};

void print_line(const usbc_line& line, uint32_t value) {
  fputs(line.label, stdout);
  const char* text = value < line.count ? line.texts[value] : nullptr;
  if (text != nullptr) {
    printf("%s\n", text);
  } else {
    printf("Unknown (%u)\n", static_cast<unsigned>(value));
  }
}

}  // namespace

void print_usbc_state(const usbc_state* state) {
  printf("USB-C controller state:\n");
  print_line(CURRENT_MODE_ADVERTISED, state->current_mode_advertised);
  print_line(CURRENT_MODE_DETECTED, state->current_mode_detected);
  print_line(ATTACHED_ACCESSORY, state->attached_accessory);
  // The cable flag is a plain truth value: anything but zero is a cable.
  printf("Active cable connected: %s\n", state->active_cable != 0 ? "True" : "False");
  print_line(ATTACHED_STATE, state->attached_state);
  print_line(CABLE_ORIENTATION, state->cable_orientation);
  print_line(DRP_DUTY_CYCLE, state->drp_duty_cycle);
  print_line(CC_DEBOUNCE, state->cc_debounce);
  print_line(MODE_SELECT, state->mode_select);
}
