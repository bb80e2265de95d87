// The board side of the line: the probe replies, the packets of each board
// version, a noise model that behaves like an ultrasonic board, and the timed
// byte stream that a drawing becomes on a 9600-baud line.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "protocol/HostMapping.h"
#include "sim/SimDrawing.h"

namespace tqsim {

using Bytes = std::vector<uint8_t>;

struct BoardModel {
  double protocol = 2.0;     // what the board answers to the protocol question
  double version = 2.1;      // firmware version: chooses the packet format
  unsigned baseline = 3056;  // distance between the two receivers
  unsigned packetLength = 9;
  int family = 2;            // 1: below 2.0, 2: 2.x and 3.x, 4: 4.x
  unsigned boardWidth() const { return baseline + tq::kBoardWidthMargin; }
  unsigned maxBoardHeight() const;
};

// The board of firmware `version` (1.x, 2.x, 3.x or 4.x) with `baseline`.
// False for a version this board cannot be.
bool MakeModel(double version, unsigned baseline, BoardModel& model);

// Probe replies: to the space (protocol), to '$' (version, boards below
// protocol 2.0 only) and the geometry packet that follows the version.
Bytes ProtocolReply(const BoardModel& model);
Bytes VersionReply(const BoardModel& model);
Bytes GeometryPacket(const BoardModel& model);
// The raw capture header a host would write for this board.
Bytes CaptureHeader(const BoardModel& model);

constexpr uint8_t kHeartbeat = 0xF0;

// What a board says to the host's questions: the probe (the space, and '$'
// below protocol 2.0) and the '?' of the host's watchdog.
struct ProbeReplies {
  Bytes protocolReply;          // answer to the space
  Bytes versionReply;           // answer to '$', or sent unasked after the protocol reply
  Bytes geometry;               // sent right after the version reply
  bool versionUnasked = false;  // protocol 2.0 boards: version and geometry follow at once
  bool answersDollar = true;    // '$' is answered with the version and geometry
  bool silent = false;          // answers nothing
  Bytes questionReply;          // answer to '?' (nothing when empty)
};
// The replies of the board `model`: a board of protocol 2.0 does not answer
// '$', and only boards of version 2 and above answer '?' with a heartbeat.
ProbeReplies RepliesOf(const BoardModel& model);
// The answer to the bytes a host sent; `probed` is set when they finished a
// probe (the version and geometry went out): a host has just opened the board.
Bytes AnswerHost(const ProbeReplies& replies, const uint8_t* bytes, size_t count, bool& probed);

// Gaussian jitter and echoes on the distances, lost packets and stray bytes.
// Every draw comes from one seeded generator with a fixed recipe, so a seed
// gives the same stream on every machine.
struct NoiseSettings {
  double jitter = 1.5;       // standard deviation on each distance, board units
  double echo = 0.02;        // chance that one receiver hears an echo instead
  double echoMin = 150.0;    // an echo's extra path
  double echoMax = 500.0;
  double drop = 0.01;        // chance that a packet is lost
  double stray = 0.003;      // chance of a stray byte before a packet
  uint64_t seed = 1;
  static NoiseSettings None();
};

class Noise {
 public:
  explicit Noise(const NoiseSettings& settings);
  double Uniform();   // [0, 1)
  double Gaussian();  // mean 0, deviation 1
  const NoiseSettings& Settings() const { return m_settings; }

 private:
  NoiseSettings m_settings;
  std::mt19937_64 m_engine;
  bool m_haveSpare = false;
  double m_spare = 0.0;
};

// How the pen moves and how often the board reports it.
struct Timing {
  double samplePeriod = 0.0125;  // seconds between readings (80 a second)
  double penSpeed = 1600.0;      // board units a second while writing
  double travelSpeed = 4000.0;   // board units a second between strokes
  double strokePause = 0.08;     // seconds the pen is away between strokes
  int hoverReadings = 2;         // hover readings before and after a stroke
  double idleHeartbeat = 0.25;   // a heartbeat byte every so often while idle
};

// One thing the board means to report, in host coordinates (for the tests).
struct Intended {
  enum Kind { Down, Hover, EraserCentre } kind;
  Point at;
  int pen;
};

struct TimedBytes {
  double time;  // seconds after the start of the drawing
  Bytes bytes;
};

struct Stream {
  std::vector<TimedBytes> chunks;  // in time order, paced by the line
  std::vector<Intended> intended;  // every reading made, sent or lost
  double duration = 0.0;           // when the last byte has left
  Bytes Flatten() const;
};

// Turns a drawing into the board's packets. Eraser passes are reported only
// by boards of version 2.x and 3.x; others skip them.
Stream MakeStream(const BoardModel& model, const Drawing& drawing, const Timing& timing,
                  Noise& noise);

// Host coordinates to the receiver frame the packets describe, and the
// distance fields of one pen or eraser emitter reading there.
struct PenFields {
  double first = 0.0;   // bytes 1-2: to the far receiver (version 4: the distance a)
  double second = 0.0;  // bytes 3-4: to the near receiver (version 4: a + c)
  double pathDifference = 0.0;  // version 4 only: c
};
PenFields PenFieldsAt(const BoardModel& model, Point host);
// The eraser's emitter positions (eraser frame) for a footprint centred at
// `host` with its long side along `axis` (a unit vector).
void EraserEmitters(Point host, Point axis, Point& emitter1, Point& emitter2);
PenFields EmitterFields(const BoardModel& model, Point eraserFrame);

// Packet encoders. `code` is the code byte (versions 2 to 4) or the low code
// in the header (below 2.0).
Bytes PenPacketV1(bool hover, int penCode, const PenFields& fields);
Bytes PenPacketV2(bool newStroke, uint8_t code, const PenFields& fields);
Bytes PenPacketV4(bool newStroke, uint8_t code, const PenFields& fields);
Bytes CommandPacket(unsigned value);

// The code byte of a pen, a hovering pen and the eraser's emitters.
uint8_t PenCodeByte(int penCode);
constexpr uint8_t kHoverCodeByte = 15;
uint8_t EmitterCodeByte(int emitter, bool active);

}  // namespace tqsim
