#include "sim/SimBoard.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tqsim {

namespace {

constexpr double kBytesPerSecond = 960.0;  // 9600 baud, 8N1: ten bit times a byte
constexpr double kPi = 3.14159265358979323846;
// Version 4 boards: receivers 864 apart, and the phase scale of the path difference.
constexpr double kV4ReceiverDistance = 864.0;
constexpr double kV4PhaseScale = 2.7057138309724653;

void AppendField14(Bytes& bytes, double value) {
  const long rounded = std::lround(std::clamp(value, 0.0, 16383.0));
  bytes.push_back(static_cast<uint8_t>(rounded / 128));
  bytes.push_back(static_cast<uint8_t>(rounded % 128));
}

long FloorDiv(long value, long by) { return value >= 0 ? value / by : -((-value + by - 1) / by); }

void AppendLittleEndian(Bytes& bytes, uint64_t value, int count) {
  for (int i = 0; i < count; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::string VersionText(double version) {
  char text[16];
  std::snprintf(text, sizeof text, "%3.1f", version);
  return text;
}

}  // namespace

unsigned BoardModel::maxBoardHeight() const {
  if (baseline == 0 || baseline >= 5000) return 0;
  return static_cast<unsigned>(std::sqrt(30250000.0 - double(baseline) * double(baseline)));
}

bool MakeModel(double version, unsigned baseline, BoardModel& model) {
  if (baseline < 500 || baseline > 5000 || !(version >= 1.0 && version < 5.0)) return false;
  model.version = version;
  model.baseline = baseline;
  if (version < 2.0) {
    model.family = 1;
    model.protocol = 1.0;
    model.packetLength = 5;
  } else {
    model.family = version < 4.0 ? 2 : 4;
    model.protocol = 2.0;
    model.packetLength = 9;
  }
  return true;
}

Bytes ProtocolReply(const BoardModel& model) {
  Bytes reply{model.family == 1 ? uint8_t{'v'} : uint8_t{0x90}};
  for (char c : VersionText(model.protocol)) reply.push_back(static_cast<uint8_t>(c));
  reply.resize(5, ' ');
  return reply;
}

Bytes VersionReply(const BoardModel& model) {
  Bytes reply{model.family == 1 ? uint8_t{'v'} : uint8_t{0x90}};
  for (char c : VersionText(model.version)) reply.push_back(static_cast<uint8_t>(c));
  // The short form ends with a blank, the long form is padded with 0x13.
  reply.resize(model.packetLength, model.family == 1 ? uint8_t{' '} : uint8_t{0x13});
  return reply;
}

Bytes GeometryPacket(const BoardModel& model) {
  Bytes packet(model.packetLength, 0);
  packet[0] = model.protocol >= 2.0 ? 0xB0 : 0x90;
  packet[1] = static_cast<uint8_t>(model.baseline / 128);
  packet[2] = static_cast<uint8_t>(model.baseline % 128);
  return packet;
}

ProbeReplies RepliesOf(const BoardModel& model) {
  ProbeReplies replies;
  replies.protocolReply = ProtocolReply(model);
  replies.versionReply = VersionReply(model);
  replies.geometry = GeometryPacket(model);
  replies.versionUnasked = model.protocol >= 2.0;
  replies.answersDollar = model.protocol < 2.0;
  if (model.family != 1) replies.questionReply = {kHeartbeat};
  return replies;
}

Bytes AnswerHost(const ProbeReplies& replies, const uint8_t* bytes, size_t count, bool& probed) {
  Bytes reply;
  const auto add = [&reply](const Bytes& part) { reply.insert(reply.end(), part.begin(), part.end()); };
  for (size_t i = 0; i < count && !replies.silent; ++i) {
    if (bytes[i] == 0x20) {
      add(replies.protocolReply);
      if (replies.versionUnasked) {
        add(replies.versionReply);
        add(replies.geometry);
        probed = true;
      }
    } else if (bytes[i] == '$' && replies.answersDollar) {
      add(replies.versionReply);
      add(replies.geometry);
      probed = true;
    } else if (bytes[i] == '?') {
      add(replies.questionReply);
    }
  }
  return reply;
}

Bytes CaptureHeader(const BoardModel& model) {
  Bytes header;
  uint64_t bits = 0;
  std::memcpy(&bits, &model.protocol, 8);
  AppendLittleEndian(header, bits, 8);
  std::memcpy(&bits, &model.version, 8);
  AppendLittleEndian(header, bits, 8);
  AppendLittleEndian(header, model.baseline, 4);
  return header;
}

NoiseSettings NoiseSettings::None() {
  NoiseSettings none;
  none.jitter = none.echo = none.drop = none.stray = 0.0;
  return none;
}

Noise::Noise(const NoiseSettings& settings) : m_settings(settings), m_engine(settings.seed) {}

double Noise::Uniform() {
  // 53 random bits: the same value from the same seed whatever the library.
  return static_cast<double>(m_engine() >> 11) * (1.0 / 9007199254740992.0);
}

double Noise::Gaussian() {
  if (m_haveSpare) {
    m_haveSpare = false;
    return m_spare;
  }
  double u = 0.0;
  do u = Uniform(); while (u <= 0.0);
  const double v = Uniform();
  const double radius = std::sqrt(-2.0 * std::log(u));
  m_spare = radius * std::sin(2.0 * kPi * v);
  m_haveSpare = true;
  return radius * std::cos(2.0 * kPi * v);
}

Bytes Stream::Flatten() const {
  Bytes all;
  for (const TimedBytes& chunk : chunks) all.insert(all.end(), chunk.bytes.begin(), chunk.bytes.end());
  return all;
}

PenFields PenFieldsAt(const BoardModel& model, Point host) {
  // The host sees receiver-frame x + 140 and y - 100.
  const double x = host.x - 140.0, y = host.y + 100.0;
  PenFields fields;
  if (model.family == 4) {
    // The position these boards report is x = 5000 - |t|, y = 432 - p for a
    // pen at (p, t) of a frame whose receivers sit at (0, 0) and (864, 0).
    const double p = 432.0 - y, t = 5000.0 - x;
    fields.first = std::hypot(p, t);
    fields.second = std::hypot(p - kV4ReceiverDistance, t);
  } else {
    fields.first = std::hypot(x - model.baseline, y);
    fields.second = std::hypot(x, y);
  }
  fields.pathDifference = fields.second - fields.first;
  return fields;
}

void EraserEmitters(Point host, Point axis, Point& emitter1, Point& emitter2) {
  // The host draws the footprint 200 along and 100 back from the emitters'
  // midpoint and then maps it like a pen (x + 140, y - 100).
  const Point middle{host.x - 340.0, host.y + 200.0};
  emitter1 = {middle.x + 105.0 * axis.x, middle.y + 105.0 * axis.y};
  emitter2 = {middle.x - 105.0 * axis.x, middle.y - 105.0 * axis.y};
}

PenFields EmitterFields(const BoardModel& model, Point eraserFrame) {
  // The eraser reports its emitters in the frame with the receivers swapped:
  // the first field is the distance to (0, 0).
  PenFields fields;
  fields.first = std::hypot(eraserFrame.x, eraserFrame.y);
  fields.second = std::hypot(eraserFrame.x - model.baseline, eraserFrame.y);
  return fields;
}

Bytes PenPacketV1(bool hover, int penCode, const PenFields& fields) {
  Bytes packet{static_cast<uint8_t>((hover ? 0x88 : 0x80) | (penCode & 7))};
  AppendField14(packet, fields.first);
  AppendField14(packet, fields.second);
  return packet;
}

Bytes PenPacketV2(bool newStroke, uint8_t code, const PenFields& fields) {
  // A low nibble above 5 tells the host that the pen has just touched down.
  Bytes packet{static_cast<uint8_t>(newStroke ? 0xA8 : 0xA0)};
  AppendField14(packet, fields.first);
  AppendField14(packet, fields.second);
  packet.push_back(code);
  packet.insert(packet.end(), {0, 0, 0});
  return packet;
}

Bytes PenPacketV4(bool newStroke, uint8_t /*code*/, const PenFields& fields) {
  // The path difference c goes out as a coarse part A and a phase:
  // c = (A - 3) + arccos(B / 8192) * scale. A is chosen so that the phase
  // term lies near the middle of its range, then B carries the rest.
  const double c = fields.pathDifference;
  const long a = std::lround(c) - 1;
  const double phase = (c - double(a) + 3.0) / kV4PhaseScale;
  const long b = std::clamp(std::lround(8192.0 * std::cos(phase)), -8192L, 8191L);
  Bytes packet{static_cast<uint8_t>(newStroke ? 0xA8 : 0xA0)};
  AppendField14(packet, fields.first);
  AppendField14(packet, fields.second);
  // Byte 5 is the high part of A and doubles as the code byte: a real path
  // difference always lands it among the pen codes.
  const long aHigh = FloorDiv(a, 128), bHigh = FloorDiv(b, 128);
  packet.push_back(static_cast<uint8_t>(64 + aHigh));
  packet.push_back(static_cast<uint8_t>(a - aHigh * 128));
  packet.push_back(static_cast<uint8_t>(64 + bHigh));
  packet.push_back(static_cast<uint8_t>(b - bHigh * 128));
  return packet;
}

Bytes CommandPacket(unsigned value) {
  Bytes packet{0xC0};
  AppendField14(packet, value);
  packet.resize(9, 0);
  return packet;
}

uint8_t PenCodeByte(int penCode) {
  switch (penCode) {
    case 0: return 60;
    case 1: return 28;
    case 2: return 50;
    case 3: return 40;
    case 4: return 72;
    default: return 88;  // the board's button (pen code 5)
  }
}

uint8_t EmitterCodeByte(int emitter, bool active) {
  if (emitter == 1) return active ? 112 : 100;
  return active ? 132 : 122;
}

namespace {

// Builds the stream packet by packet, keeping the line's pace.
class StreamBuilder {
 public:
  StreamBuilder(const BoardModel& model, Noise& noise, Stream& stream)
      : m_model(model), m_noise(noise), m_stream(stream) {}

  void Send(double time, Bytes bytes) {
    const double start = std::max(time, m_lineFree);
    m_lineFree = start + double(bytes.size()) / kBytesPerSecond;
    m_stream.chunks.push_back({start, std::move(bytes)});
    m_stream.duration = m_lineFree;
  }

  // A reading as the receivers hear it: jitter, sometimes an echo on one.
  PenFields Heard(PenFields fields) {
    const NoiseSettings& s = m_noise.Settings();
    if (s.jitter > 0.0 && m_model.family == 4) {
      // The path difference comes from the phase of the carrier and is far
      // finer than a time-of-flight distance.
      const double difference = fields.second - fields.first + s.jitter / 8.0 * m_noise.Gaussian();
      fields.first += s.jitter * m_noise.Gaussian();
      fields.second = fields.first + difference;
    } else if (s.jitter > 0.0) {
      fields.first += s.jitter * m_noise.Gaussian();
      fields.second += s.jitter * m_noise.Gaussian();
    }
    if (s.echo > 0.0 && m_noise.Uniform() < s.echo) {
      const double extra = s.echoMin + (s.echoMax - s.echoMin) * m_noise.Uniform();
      (m_noise.Uniform() < 0.5 ? fields.first : fields.second) += extra;
    }
    fields.pathDifference = fields.second - fields.first;
    return fields;
  }

  // A packet on its way: sometimes lost, sometimes after a stray byte.
  void SendPacket(double time, Bytes packet) {
    const NoiseSettings& s = m_noise.Settings();
    if (s.drop > 0.0 && m_noise.Uniform() < s.drop) return;
    if (s.stray > 0.0 && m_noise.Uniform() < s.stray) {
      packet.insert(packet.begin(), static_cast<uint8_t>(m_noise.Uniform() * 256.0));
    }
    Send(time, std::move(packet));
  }

  void PenReading(double time, Point at, int pen, bool hover, bool newStroke) {
    m_stream.intended.push_back({hover ? Intended::Hover : Intended::Down, at, pen});
    const PenFields fields = Heard(PenFieldsAt(m_model, at));
    const uint8_t code = hover ? kHoverCodeByte : PenCodeByte(pen);
    switch (m_model.family) {
      case 1: SendPacket(time, PenPacketV1(hover, pen, fields)); break;
      case 2: SendPacket(time, PenPacketV2(newStroke, code, fields)); break;
      default: SendPacket(time, PenPacketV4(newStroke, code, fields)); break;
    }
  }

  void EraserReading(double time, double period, Point at, Point axis, bool active) {
    if (active) m_stream.intended.push_back({Intended::EraserCentre, at, 0});
    Point e1, e2;
    EraserEmitters(at, axis, e1, e2);
    SendPacket(time, PenPacketV2(false, EmitterCodeByte(1, active), Heard(EmitterFields(m_model, e1))));
    SendPacket(time + period / 2.0, PenPacketV2(false, EmitterCodeByte(2, active),
                                                Heard(EmitterFields(m_model, e2))));
  }

  // Heartbeats while nothing else is said, from `from` to `to`.
  void Idle(double from, double to, double every) {
    if (m_model.family == 1 || every <= 0.0) return;
    for (double t = std::max(from, m_lineFree) + every; t < to; t += every) Send(t, {kHeartbeat});
  }

 private:
  const BoardModel& m_model;
  Noise& m_noise;
  Stream& m_stream;
  double m_lineFree = 0.0;
};

}  // namespace

Stream MakeStream(const BoardModel& model, const Drawing& drawing, const Timing& timing,
                  Noise& noise) {
  Stream stream;
  StreamBuilder builder(model, noise, stream);
  const double step = timing.penSpeed * timing.samplePeriod;
  double time = 0.0;
  Point penAt{-1.0, -1.0};
  for (const Stroke& stroke : drawing) {
    if (stroke.points.empty()) continue;
    if (stroke.eraser && model.family != 2) continue;  // only 2.x and 3.x boards have one
    // Between strokes the pen is away; an idle board says it is alive.
    const Point start = stroke.points.front();
    const double travel = penAt.x < 0.0 ? 0.0 : std::hypot(start.x - penAt.x, start.y - penAt.y);
    const double resume = time + timing.strokePause + travel / timing.travelSpeed;
    builder.Idle(time, resume, timing.idleHeartbeat);
    time = resume;

    std::vector<Point> path = Resample(stroke.points, step);
    if (stroke.eraser) {
      for (size_t i = 0; i < path.size(); ++i) {
        const Point a = path[i > 0 ? i - 1 : 0], b = path[i + 1 < path.size() ? i + 1 : i];
        const double length = std::hypot(b.x - a.x, b.y - a.y);
        // The long side of the eraser lies across its way.
        const Point axis = length > 0.0 ? Point{-(b.y - a.y) / length, (b.x - a.x) / length}
                                        : Point{1.0, 0.0};
        builder.EraserReading(time, timing.samplePeriod, path[i], axis, true);
        time += timing.samplePeriod;
      }
      // Lifted: one last reading with neither end pressed.
      builder.EraserReading(time, timing.samplePeriod, path.back(), {1.0, 0.0}, false);
      time += timing.samplePeriod;
      penAt = path.back();
      continue;
    }
    if (path.size() == 1) path.assign(4, path[0]);  // a dot: the pen rests a moment
    // Boards of version 4 report no hovering pen: their code byte carries
    // the path difference, and hover codes lie outside any real one.
    const int hovers = model.family == 4 ? 0 : timing.hoverReadings;
    for (int i = 0; i < hovers; ++i, time += timing.samplePeriod) {
      builder.PenReading(time, path.front(), stroke.pen, true, false);
    }
    for (size_t i = 0; i < path.size(); ++i, time += timing.samplePeriod) {
      builder.PenReading(time, path[i], stroke.pen, false, i == 0);
    }
    for (int i = 0; i < hovers; ++i, time += timing.samplePeriod) {
      builder.PenReading(time, path.back(), stroke.pen, true, false);
    }
    penAt = path.back();
  }
  return stream;
}

}  // namespace tqsim
