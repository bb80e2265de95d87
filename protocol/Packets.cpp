#include "protocol/Packets.h"

#include <cmath>

#include "geometry/PositionV4.h"
#include "geometry/Triangulate.h"

namespace tq {

namespace {

// The types the decoder of boards below 2.0 knows. Only for these does a
// pair of distances that cannot be a position turn the candidate into a
// rejected packet that is skipped whole: any other header byte is a stray
// and costs one byte, or a single stray byte would throw the framing off
// for good.
bool IsKnownV1Type(uint32_t type) {
  switch (type) {
    case kV1TypeRejected:
    case kV1TypeIgnored:
    case kV1TypeCheck:
    case kV1TypePen:
    case kV1TypeHover:
    case kV1TypeSignal:
    case kV1TypeLowCode5:
      return true;
    default:
      return false;
  }
}

SPacket Consumed(EPacketAction action) {
  SPacket packet;
  packet.action = action;
  return packet;
}

SPacket Sample(uint8_t kind, double x, double y, int32_t penCode) {
  SPacket packet;
  packet.action = EPacketAction::kSample;
  packet.sample.kind = kind;
  packet.sample.x = x;
  packet.sample.y = y;
  packet.sample.penCode = penCode;
  return packet;
}

// A low nibble above 5 in a pen packet's header marks the start of a new
// stroke: whatever stroke is open ends before this sample.
bool StartsStroke(uint8_t header) { return (header & 0x0F) > 5; }

SPacket Command(const SPacketView& view) {
  SPacket packet = Consumed(EPacketAction::kCommand);
  packet.first = view.Field(1);
  return packet;
}

}  // namespace

SPacket ParseV1(const SPacketView& view, double spacing) {
  const uint8_t header = view.Header();
  const int32_t lowCode = header & 0x07;
  uint32_t type = header & 0xF8u;
  if (header == 'v') type = kV1TypeCheck;
  if (lowCode == 5) type = kV1TypeLowCode5;
  if (!IsKnownV1Type(type)) return SPacket{};

  const double first = view.Field(1);
  const double second = view.Field(3);
  double x = 0.0;
  double y = 0.0;
  if (!Triangulate(first, second, spacing, x, y)) type = kV1TypeRejected;

  switch (type) {
    case kV1TypeCheck:
      return Consumed(EPacketAction::kBoardCheck);
    case kV1TypeSignal:
      return Consumed(EPacketAction::kBoardSignal);
    case kV1TypePen:
    case kV1TypeHover:
      return Sample(static_cast<uint8_t>(type), x, y, lowCode);
    default:  // rejected, low code 5, and the type without an action (0x70)
      return Consumed(EPacketAction::kSkip);
  }
}

SPacket ParseV2(const SPacketView& view, double spacing) {
  const uint8_t header = view.Header();
  switch (header & 0xF0) {
    case kTypePen:
      break;
    case kTypeCommand:
      return Command(view);
    case kTypeIgnored:
      return Consumed(EPacketAction::kSkip);
    default:
      return SPacket{};
  }

  const uint32_t first = view.Field(1);
  const uint32_t second = view.Field(3);
  if (first < kMinDistance || second < kMinDistance) return Consumed(EPacketAction::kSkip);
  double x = 0.0;
  double y = 0.0;
  if (!Triangulate(first, second, spacing, x, y)) return Consumed(EPacketAction::kSkip);
  int penCode = 0;
  const int result = ClassifyPenCode(view[5], penCode);
  if (result != kPenCodeKnown && result != kPenCodeHover) return Consumed(EPacketAction::kSkip);

  if (penCode == kPenCodeButton) return Consumed(EPacketAction::kPenButton);
  if (penCode >= kPenCodeEraserFirst && penCode <= kPenCodeEraserLast) {
    SPacket packet = Consumed(EPacketAction::kEraser);
    packet.first = first;
    packet.second = second;
    packet.penCode = penCode;
    return packet;
  }
  const uint8_t kind = result == kPenCodeHover ? kKindHover : kKindPenDown;
  SPacket packet = Sample(kind, x, y, penCode);
  packet.breakFirst = StartsStroke(header);
  return packet;
}

double PathDifferenceV4(const SPacketView& view) {
  const int pathDifference = (view[5] - 64) * 128 + view[6];
  const int phaseValue = (view[7] - 64) * 128 + view[8];
  const double phase = std::acos(phaseValue / 8192.0);
  return (pathDifference - 3) + phase * 2.7057138309724653;
}

SPacket ParseV4(const SPacketView& view) {
  const uint8_t header = view.Header();
  switch (header & 0xF0) {
    case kTypePen:
      break;
    case kTypeCommand:
      return Command(view);
    default:
      return SPacket{};
  }

  const uint32_t first = view.Field(1);
  const uint32_t second = view.Field(3);
  if (first < kMinDistance || second < kMinDistance) return Consumed(EPacketAction::kSkip);
  double x = 0.0;
  double y = 0.0;
  PositionV4(static_cast<float>(first), static_cast<float>(PathDifferenceV4(view)), x, y);
  // y counts from the midpoint between the receivers towards the nearer one.
  // A pen past the midpoint (the extra path came out negative) and a
  // solution that broke down are put on the midline.
  if (!(y >= 0.0)) y = 0.0;
  int ignoredPenCode = 0;
  const int result = ClassifyPenCode(view[5], ignoredPenCode);
  if (result == kPenCodeUnknown) return Consumed(EPacketAction::kSkip);
  const uint8_t kind = result == kPenCodeHover ? kKindHover : kKindPenDown;
  SPacket packet = Sample(kind, x, y, 0);
  packet.breakFirst = StartsStroke(header);
  return packet;
}

}  // namespace tq
