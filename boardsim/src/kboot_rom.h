// The MCU's KBoot ROM bootloader as mcuflash drives it over SPI: ping,
// ACK handling, get-property, erase all unsecure, write memory with its
// data phase, read memory with its data packets, execute. Checks every
// packet the host sends and keeps the written bytes in Flash. Reads its
// settings and faults from the board state (include/boardsim/board.h).
// An erase leaves the MCU without firmware (mcu.firmware=erased) until a
// write memory has received every announced byte and execute follows.
// At each start it reads the flash security byte (0x40C) as the MCU does:
// secured, it refuses to read or write memory until an erase all unsecure;
// with mass erase disabled too, it refuses that erase as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "flash.h"
#include "spi_peer.h"
#include "state.h"

namespace boardsim {

class KbootRom : public SpiPeer {
 public:
  KbootRom(State& state, Flash& flash) : state_(state), flash_(flash) { read_security(); }
  void exchange(const uint8_t* tx, uint8_t* rx, size_t len) override;
  void save(std::string* out) const override;
  bool restore(const std::string& in) override;
  // Protocol faults committed by the host, one line each (also counted in
  // the state key kb.violations).
  // note_ is called for each; the owner may route it to the log.
  void set_note(void (*note)(const std::string& line)) { note_ = note; }
  // The MCU restarts into the bootloader: nothing queued, nothing half
  // received, no data phase, and the packet and response counts that
  // kb.nak_at, kb.bad_crc_at and kb.error_at refer to start again.
  void reset();

 private:
  // Receiver of the host's byte stream.
  enum class Rx : uint8_t {
    idle,     // between packets: everything but 0x5A is ignored
    type,     // 0x5A seen, the packet type comes next
    header,   // length and CRC fields of a command or data packet
    payload,  // payload bytes
    discard,  // a broken packet: the rest of this exchange is dropped
  };

  void receive(uint8_t byte);
  void end_of_exchange();
  // Complete packets from the host.
  void on_ping();
  void on_host_ack();
  void on_framed_packet();  // command or data packet, pkt_ holds it whole
  void on_command(const uint8_t* payload, size_t len);
  void answer_command(uint8_t tag, const uint8_t* param, unsigned count);  // an ACKed command
  void on_data(const uint8_t* payload, size_t len);
  void on_get_property(const uint8_t* param);
  void on_read_memory(const uint8_t* param);
  void send_read_data();  // the next data packet of a read memory
  void read_security();   // the flash configuration field, at start
  // Checks common to every complete host packet; is_ack for 5A A1.
  void check_order(bool is_ack);
  // Answers.
  void send(const uint8_t* packet, size_t len);  // filler, storm, packet
  void send_ack(bool ack);                        // 5A A1, or the NAK 5A A2
  // Decides the status of the next generic response: the natural status,
  // or kb.error_status when this is the kb.error_at-th response. Must be
  // followed by send_generic for the same response.
  uint32_t next_status(uint32_t natural);
  void send_generic(uint32_t tag, uint32_t status);
  // A response packet (generic, get-property or read-memory response):
  // its tag and parameters; the host is to ACK it.
  void send_response(uint8_t tag, const uint32_t* params, size_t count);
  bool in_flash(uint32_t address, uint32_t bytes) const;
  void violation(const std::string& what);

  State& state_;
  Flash& flash_;
  void (*note_)(const std::string&) = nullptr;

  // Bytes waiting to be clocked out; out_head_ is the next one.
  std::vector<uint8_t> out_;
  size_t out_head_ = 0;

  Rx rx_ = Rx::idle;
  uint8_t pkt_[6 + 32] = {};  // the packet being received
  size_t pkt_len_ = 0;
  size_t pkt_need_ = 0;  // its whole size, once the header is in

  bool ack_due_ = false;        // a generic response awaits the host's ACK
  bool closing_due_ = false;    // after that ACK: the closing response of a zero-byte write
  bool data_phase_ = false;     // write memory is taking data packets
  bool data_done_ = false;      // the last write's data phase is complete
  bool downloaded_ = false;     // a write's data phase completed since the last erase
  uint32_t data_address_ = 0;   // where the next data byte goes
  uint32_t data_left_ = 0;      // announced bytes not yet received
  bool reading_ = false;        // read memory: data packets or its closing response to send
  uint32_t read_address_ = 0;   // where the next byte read comes from
  uint32_t read_left_ = 0;      // bytes of the read not yet sent
  bool secured_ = false;        // since the last start, and until an erase all unsecure
  bool mass_erase_disabled_ = false;

  unsigned long packets_ = 0;    // host packets wanting an ACK, since boot
  unsigned long responses_ = 0;  // generic responses sent, since boot
  bool bad_crc_next_ = false;    // the response being built carries a wrong CRC
  int answering_ = -1;           // the command whose first response is being built
};

}  // namespace boardsim
