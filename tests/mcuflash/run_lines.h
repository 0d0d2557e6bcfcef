// What mcuflash says about where it left the MCU, after "mcuflash: " (a
// failure) or "mcuflash: stopped: " (a stop); and the argument vector that
// runs mcuflash against a board from a forked child.
#pragma once

#include <boardsim/board.h>

#include <string>
#include <vector>

inline const std::string kHeld =
    "the MCU is held in reset or in its bootloader, its flash unchanged; mcuflash -r starts the "
    "unchanged firmware\n";
inline const std::string kErased =
    "the MCU's flash is erased or partly written; flash a good image again (mcuflash -r alone "
    "will not help)\n";
inline const std::string kMismatch =
    "the MCU's flash does not hold the image; flash a good image again (mcuflash -r alone will "
    "not help)\n";
inline const std::string kWritten =
    "the image is written but the MCU has not started it; mcuflash -r starts the written image\n";
inline const std::string kUnchanged = "the MCU was restarted into its unchanged firmware\n";

// In a cross build the launcher runs through the emulator too.
inline std::vector<std::string> mcuflash_argv(const boardsim::Board& board,
                                              const std::vector<std::string>& args) {
  std::vector<std::string> argv = boardsim::emulator();
  for (const std::string& a : {boardsim::launcher_path(), std::string("--dir"), board.dir(),
                               std::string("--"), boardsim::mcuflash_path()})
    argv.push_back(a);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

[[noreturn]] inline void exec_argv(std::vector<std::string> argv) {
  std::vector<char*> argp;
  for (std::string& a : argv) argp.push_back(a.data());
  argp.push_back(nullptr);
  execv(argp[0], argp.data());
  _exit(127);
}
