// Telnet commands in what a client sends. The console supports no telnet option: it takes the
// commands out of the byte stream before lines are assembled and refuses every request, so
// telnet clients (PuTTY, plink -telnet, telnet) stay in plain line mode with local echo, while
// the bytes of raw clients (nc, socat) pass as they are, apart from these sequences.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qc {

// Where the filter stands between two received pieces. Zero (all fields) at a session's start.
struct TelnetState {
  std::uint8_t Phase;  // inside a command, or not; see telnet.cpp
  std::uint8_t Verb;   // WILL, WONT, DO or DONT waiting for its option byte
  // The client has sent a telnet command (IAC and a byte from 240 to 254): it speaks telnet,
  // and every 0xFF byte sent to it must be doubled.
  bool SpeaksTelnet;
  std::uint16_t SubLength;  // bytes inside the current subnegotiation
};

// The longest subnegotiation taken out: one that goes on without IAC SE ends after this many
// bytes, and what follows is input again.
constexpr std::uint16_t kLongestSubnegotiation = 1024;

// How many bytes [bytes, bytes + length) take with every 0xFF doubled.
std::size_t EscapedLength(const char* bytes, std::size_t length);
// Copies bytes into out (EscapedLength bytes) with every 0xFF doubled.
void EscapeIac(const char* bytes, std::size_t length, char* out);

// Where the answers to a client's requests go: called with a few bytes at a time, in order.
using TelnetReplySink = void (*)(void* context, const char* bytes, std::size_t length);

// Removes from data[0, length) IAC WILL/WONT/DO/DONT with its option byte, IAC SB ... IAC SE
// (or its first kLongestSubnegotiation bytes), and IAC with a command byte from 240 to 249; IAC IAC
// becomes one 0xFF byte; IAC followed by any other byte is kept as it is. A command split across
// pieces is removed all the same. The kept bytes are moved to the start of data and their count is
// returned. data must have room for length + 1 bytes: a 0xFF held back at the end of the last piece
// comes out in front when the byte after it turns out to be no command. WILL x is answered with
// DONT x and DO x with WONT x, once per request, through reply; WONT and DONT are not answered.
std::size_t FilterTelnet(TelnetState& state, char* data, std::size_t length, TelnetReplySink reply,
                         void* context);

}  // namespace qc
