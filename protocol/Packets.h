// What one candidate packet means, for each family of boards.
//
// Boards below version 2.0 send 5-byte packets whose header carries a type
// in bits 7..3 and a low code in bits 2..0. Boards of versions 2 and 3 send
// 9-byte packets: header type in the high nibble, two distances and a code
// byte for pens, a command value for control packets. Boards of version 4
// send the same frame with a path difference and a phase instead of a
// second usable distance.
//
// The parsers only read bytes and compute positions; the decoders of the
// port object act on what they return. An action of kResync means the byte
// at the packet's position does not start a packet: the decoder advances by
// one byte. Every other action consumes a whole packet.
#pragma once

#include <cstdint>

#include "filter/PenSample.h"
#include "protocol/Framing.h"

namespace tq {

// Header types of boards below version 2.0 (header AND 0xF8, with the two
// special cases "v" and low code 5).
constexpr uint8_t kV1TypeRejected = 0x60;
constexpr uint8_t kV1TypeIgnored = 0x70;
constexpr uint8_t kV1TypeCheck = 0x76;  // the letter "v"
constexpr uint8_t kV1TypePen = 0x80;
constexpr uint8_t kV1TypeHover = 0x88;
constexpr uint8_t kV1TypeSignal = 0x90;
constexpr uint8_t kV1TypeLowCode5 = 0xA0;

// Header types of boards of version 2 and later (header AND 0xF0).
constexpr uint8_t kTypePen = 0xA0;
constexpr uint8_t kTypeCommand = 0xC0;
constexpr uint8_t kTypeIgnored = 0xD0;  // versions 2 and 3 only

// Command values of control packets.
constexpr uint32_t kCommandSkipOne = 0x100;
constexpr uint32_t kCommandSkipFive = 0x101;
constexpr uint32_t kCommandFlush = 0x102;

// Pen packets with a distance below this are echoes, not pens.
constexpr uint32_t kMinDistance = 20;

// Pen codes with a meaning of their own on boards of versions 2 and 3.
constexpr int32_t kPenCodeButton = 5;
constexpr int32_t kPenCodeEraserFirst = 6;
constexpr int32_t kPenCodeEraserLast = 9;

enum class EPacketAction : uint8_t {
  kResync,      // not a packet start: advance by one byte
  kSkip,        // a packet without effect
  kSample,      // a pen or hover sample for the stroke filter
  kBoardCheck,  // boards below 2.0: the board's "v" packet
  kBoardSignal, // boards below 2.0: the type-0x90 packet
  kPenButton,   // a pen packet with pen code 5
  kEraser,      // a packet of one of the eraser's emitters
  kCommand,     // a control packet
};

struct SPacket {
  EPacketAction action = EPacketAction::kResync;
  bool breakFirst = false;  // kSample: a break marker goes into the filter first
  SPenSample sample;        // kSample
  uint32_t first = 0;       // first distance field; the value of a command
  uint32_t second = 0;      // second distance field
  int32_t penCode = 0;      // kEraser: 6 to 9
};

// Boards below version 2.0. `spacing` is the sensor baseline.
SPacket ParseV1(const SPacketView& packet, double spacing);
// Boards of versions 2 and 3.
SPacket ParseV2(const SPacketView& packet, double spacing);
// Boards of version 4.
SPacket ParseV4(const SPacketView& packet);

// The path-difference term of a version-4 pen packet: bytes 5 to 8 give the
// coarse path difference A and the phase value B; the result is
// (A − 3) + arccos(B / 8192) × 2.7057138309724653.
double PathDifferenceV4(const SPacketView& packet);

}  // namespace tq
