// The captured datagrams as a classic pcap capture (raw IPv4 link type), so
// a simulated run opens in Wireshark or tshark. The IPv4 and UDP headers are
// made up from what the sender knows: its socket's address, or 127.0.0.1
// when it has none, and the real destination.
#pragma once

#include <stddef.h>
#include <sys/socket.h>

#include <string>

namespace boardsim {

// Appends one datagram sent on `fd` to `dest` (IPv4 only; others are left
// out). Several processes may append to one file: the global header is
// written once, by whichever creates the file, and each record is one write.
void pcap_append_datagram(const std::string& path, int fd, const struct sockaddr* dest,
                          socklen_t dest_len, const void* payload, size_t len);

}  // namespace boardsim
