// The three packet decoders: frame, parse, act.
//
// Boards below version 2.0 (5-byte packets) report pens, hover and two
// board signals; boards of versions 2 and 3 (9-byte packets, heartbeat
// bytes when idle) add the eraser, a pen button and control packets;
// boards of version 4 send the same frame with a different position
// encoding and no eraser. Every pen sample goes through the stroke filter
// before it reaches the host.
#include "api/BoardPort.h"
#include "geometry/Eraser.h"
#include "protocol/Framing.h"
#include "protocol/Packets.h"

namespace tq {

namespace {

// Board event codes of TQ_MSG_BOARD_EVENT.
constexpr WPARAM kEventFlushed = 0;
constexpr WPARAM kEventPenButton = 2;

void PushSample(CBoardPort& port, const SPacket& packet) {
  if (packet.breakFirst) port.m_filter.Push(MakeBreakMarker());
  port.m_filter.Push(packet.sample);
  port.DrainFilter();
}

// Control packets of boards of version 2 and later. What a reset releases
// waits in the filter and goes out with the next sample.
void RunCommand(CBoardPort& port, uint32_t command) {
  switch (command) {
    case kCommandSkipOne:
      port.m_filter.Reset(1, false);
      break;
    case kCommandSkipFive:
      port.m_filter.Reset(5, false);
      break;
    case kCommandFlush:
      port.m_filter.Reset(5, true);
      port.SendToHost(TQ_MSG_BOARD_EVENT, kEventFlushed, port.m_port);
      break;
    default:
      break;
  }
}

uint32_t Advance(const SPacket& packet, uint32_t packetLength) {
  return packet.action == EPacketAction::kResync ? 1 : packetLength;
}

}  // namespace

void CBoardPort::DecodeV1(const uint8_t* data, int length) {
  const uint32_t chunk = length > 0 ? static_cast<uint32_t>(length) : 0;
  m_rxCount = AppendReceived(m_rxBuffer, kRxBufferSize, m_rxCount, data, chunk);
  const uint32_t packetLength = m_packetLength;
  const double spacing = m_receiverSpacing;
  m_rxCount = FramePackets(m_rxBuffer, m_rxCount, 0, packetLength, [&](const SPacketView& view) {
    const SPacket packet = ParseV1(view, spacing);
    switch (packet.action) {
      case EPacketAction::kSample:
        PushSample(*this, packet);
        break;
      case EPacketAction::kBoardCheck:
        PostToHost(TQ_MSG_BOARD_CHECK);
        break;
      case EPacketAction::kBoardSignal:
        PostToHost(TQ_MSG_BOARD_0x90);
        break;
      default:
        break;
    }
    return Advance(packet, packetLength);
  });
}

void CBoardPort::DecodeV2(const uint8_t* data, int length) {
  const uint32_t chunk = length > 0 ? static_cast<uint32_t>(length) : 0;
  m_rxCount = AppendReceived(m_rxBuffer, kRxBufferSize, m_rxCount, data, chunk);
  const uint32_t start = SkipHeartbeats(m_rxBuffer, m_rxCount, chunk);
  if (start != 0) m_dataSeen.store(1, std::memory_order_relaxed);
  const uint32_t packetLength = m_packetLength;
  const double spacing = m_receiverSpacing;
  m_rxCount = FramePackets(m_rxBuffer, m_rxCount, start, packetLength, [&](const SPacketView& view) {
    m_dataSeen.store(1, std::memory_order_relaxed);
    const SPacket packet = ParseV2(view, spacing);
    switch (packet.action) {
      case EPacketAction::kSample:
        PushSample(*this, packet);
        break;
      case EPacketAction::kPenButton:
        // Reported at once: samples still held in the filter follow later.
        SendToHost(TQ_MSG_BOARD_EVENT, kEventPenButton, m_port);
        break;
      case EPacketAction::kEraser:
        PairEraserPacket(*this, packet.first, packet.second, packet.penCode);
        break;
      case EPacketAction::kCommand:
        RunCommand(*this, packet.first);
        break;
      default:
        break;
    }
    return Advance(packet, packetLength);
  });
}

void CBoardPort::DecodeV4(const uint8_t* data, int length) {
  const uint32_t chunk = length > 0 ? static_cast<uint32_t>(length) : 0;
  m_rxCount = AppendReceived(m_rxBuffer, kRxBufferSize, m_rxCount, data, chunk);
  const uint32_t start = SkipHeartbeats(m_rxBuffer, m_rxCount, chunk);
  if (start != 0) m_dataSeen.store(1, std::memory_order_relaxed);
  const uint32_t packetLength = m_packetLength;
  m_rxCount = FramePackets(m_rxBuffer, m_rxCount, start, packetLength, [&](const SPacketView& view) {
    m_dataSeen.store(1, std::memory_order_relaxed);
    const SPacket packet = ParseV4(view);
    switch (packet.action) {
      case EPacketAction::kSample:
        PushSample(*this, packet);
        break;
      case EPacketAction::kCommand:
        RunCommand(*this, packet.first);
        break;
      default:
        break;
    }
    return Advance(packet, packetLength);
  });
}

}  // namespace tq
