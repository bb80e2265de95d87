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

// The device's ids: this project's own pair, fixed, so that a udev rule, an
// xinput command or a libinput quirk can name every board's pen device. It is
// no USB vendor's: the bus is BUS_VIRTUAL, and 0x7471 is "tq".
constexpr uint16_t kPenVendorId = 0x7471;
constexpr uint16_t kPenProductId = 0x0001;
constexpr const char* kPenDeviceName = "TQ board pen";

struct DeviceLayout {
  std::string name = kPenDeviceName;
  // Where the board is connected (its serial device), and a name that stays
  // the same when the adapter comes back under another ttyUSB number (its
  // /dev/serial/by-id name); both empty for a replay. The kernel's uinput
  // takes the phys only: the uniq reaches the evemu text, not the kernel.
  std::string phys;
  std::string uniq;
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
  // Waits until the device is announced, so that libinput has it before the
  // first event (a stroke's start would be lost on a device not yet opened):
  // its node exists and udev has finished with it (its entry under
  // /run/udev/data), then kAnnounceSettleMs for the compositor to open it;
  // at most kAnnounceWaitMs. Without a node or without udev it waits
  // kSettleMs. Returns the time waited in milliseconds.
  static constexpr int kAnnounceWaitMs = 1000;
  static constexpr int kAnnounceSettleMs = 100;
  static constexpr int kSettleMs = 300;
  int WaitUntilAnnounced() const;

 private:
  UinputSink(libevdev_uinput* device, int fd) : m_device(device), m_fd(fd) {}
  libevdev_uinput* m_device;
  int m_fd;  // /dev/uinput, ours
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

// The device's name for a board on `devicePath`: "TQ board pen (ttyUSB0)".
std::string DeviceNameFor(const std::string& devicePath);
// The /dev/serial/by-id name of the device at `devicePath`, else the path's
// last part: a name of the adapter that stays when it is plugged back.
std::string StableDeviceName(const std::string& devicePath);

}  // namespace tqpen
