// The board as a pen tablet for the desktop: the device description and the
// two places its frames go, a uinput device made with libevdev, or evemu text
// (`# EVEMU 1.3`, then N: I: P: B: A: and E: lines) for a dry run. Both are
// written from the same libevdev description, so the text shows the device
// that would have been made.
//
// What libinput needs to take it as a tablet and not a mouse: BTN_TOOL_PEN
// (and BTN_TOOL_RUBBER), BTN_TOUCH, ABS_X and ABS_Y with a resolution, and no
// relative axes; INPUT_PROP_DIRECT for a pen on the screen's surface (a
// projected picture), INPUT_PROP_POINTER for a tablet beside the screen.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "pen/PenFrames.h"

struct libevdev;
struct libevdev_uinput;

namespace tqpen {

struct DeviceLayout {
  std::string name = "TQ board pen";
  int32_t xMax = 0;  // ranges 0 to max, in the units the frames carry
  int32_t yMax = 0;
  int32_t resolution = 1;  // units per millimetre, never 0
  bool pointer = false;
  bool pressure = false;
};

// The libevdev description of the device; owned by the caller.
struct EvdevDeleter {
  void operator()(libevdev* device) const;
};
using EvdevPtr = std::unique_ptr<libevdev, EvdevDeleter>;
EvdevPtr DescribeDevice(const DeviceLayout& layout);

class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // False when the frame could not be written.
  virtual bool Write(const Frame& frame, int64_t nowUs) = 0;
};

// A virtual input device through /dev/uinput; destroyed with the object.
class UinputSink final : public FrameSink {
 public:
  // Null and a reason in `error` when the device cannot be made.
  static std::unique_ptr<UinputSink> Create(const DeviceLayout& layout, std::string& error);
  ~UinputSink() override;
  bool Write(const Frame& frame, int64_t nowUs) override;
  // The event node, empty when the system does not tell it.
  std::string DeviceNode() const;

 private:
  explicit UinputSink(libevdev_uinput* device) : m_device(device) {}
  libevdev_uinput* m_device;
};

// evemu text on a stream: the description at once, then one E: line per
// event, times in seconds from the first frame.
class EvemuSink final : public FrameSink {
 public:
  EvemuSink(std::FILE* out, const DeviceLayout& layout);
  bool Write(const Frame& frame, int64_t nowUs) override;

 private:
  std::FILE* m_out;
  int64_t m_startUs = -1;
};

// Writes the evemu description of `device` (the lines before the events).
void WriteEvemuDescription(std::FILE* out, const libevdev* device);

}  // namespace tqpen
