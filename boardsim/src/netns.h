// The machine's network namespace, from which net.mode=real never sends:
// decided once per board directory, by its first process (the launcher,
// the test kit's Board, or the first program under the preload), and kept
// in <dir>/net.reference for every later process of the board, a daemon
// re-parented to a hidden PID 1 included.
#pragma once

#include <string>

#include "shared.h"

namespace boardsim {

// The target of a namespace link such as "/proc/self/ns/net", or "".
std::string netns_link(const char* path);

// The board's reference namespace ("net:[...]"), decided now when no
// process of the board has yet; "unknown" where the deciding process could
// tell neither PID 1's namespace nor an ancestor's. Takes `lock`.
std::string board_reference_netns(const std::string& dir, BoardLock& lock);

}  // namespace boardsim
