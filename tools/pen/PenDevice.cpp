#include "pen/PenDevice.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <system_error>

namespace tqpen {
namespace {

// The same shape as the kernel's event bit masks that evemu prints.
constexpr int kBytesPerLine = 8;

void EnableAxis(libevdev* device, unsigned code, int32_t max, int32_t resolution) {
  input_absinfo info{};
  info.minimum = 0;
  info.maximum = max;
  info.resolution = resolution;
  libevdev_enable_event_code(device, EV_ABS, code, &info);
}

bool HasBit(const libevdev* device, unsigned type, unsigned code) {
  if (type == EV_SYN) return libevdev_has_event_type(device, code) != 0;
  return libevdev_has_event_code(device, type, code) != 0;
}

// One "LEAD: xx xx ..." group of lines: the bits 0 to maxCode, eight bytes a line.
template <typename BitTest>
void WriteMask(std::FILE* out, const char* lead, int maxCode, BitTest bit) {
  const int bytes = ((maxCode + 1 + 8 * kBytesPerLine - 1) / (8 * kBytesPerLine)) * kBytesPerLine;
  for (int line = 0; line < bytes; line += kBytesPerLine) {
    std::fputs(lead, out);
    for (int i = line; i < line + kBytesPerLine; ++i) {
      unsigned value = 0;
      for (int b = 0; b < 8; ++b) {
        const int code = i * 8 + b;
        if (code <= maxCode && bit(static_cast<unsigned>(code))) value |= 1u << b;
      }
      std::fprintf(out, " %02x", value);
    }
    std::fputc('\n', out);
  }
}

}  // namespace

void EvdevDeleter::operator()(libevdev* device) const { libevdev_free(device); }

EvdevPtr DescribeDevice(const DeviceLayout& layout) {
  EvdevPtr device(libevdev_new());
  libevdev* dev = device.get();
  libevdev_set_name(dev, layout.name.c_str());
  libevdev_set_id_bustype(dev, BUS_VIRTUAL);
  libevdev_set_id_vendor(dev, kPenVendorId);
  libevdev_set_id_product(dev, kPenProductId);
  if (!layout.phys.empty()) libevdev_set_phys(dev, layout.phys.c_str());
  if (!layout.uniq.empty()) libevdev_set_uniq(dev, layout.uniq.c_str());
  libevdev_enable_property(dev, layout.pointer ? INPUT_PROP_POINTER : INPUT_PROP_DIRECT);
  libevdev_enable_event_type(dev, EV_SYN);
  libevdev_enable_event_type(dev, EV_KEY);
  for (unsigned code : {BTN_TOOL_PEN, BTN_TOOL_RUBBER, BTN_TOUCH}) {
    libevdev_enable_event_code(dev, EV_KEY, code, nullptr);
  }
  libevdev_enable_event_type(dev, EV_ABS);
  EnableAxis(dev, ABS_X, layout.xMax, layout.resolution);
  EnableAxis(dev, ABS_Y, layout.yMax, layout.resolution);
  if (layout.pressure) EnableAxis(dev, ABS_PRESSURE, kPressureMax, 0);
  libevdev_enable_event_type(dev, EV_MSC);
  libevdev_enable_event_code(dev, EV_MSC, MSC_SERIAL, nullptr);
  return device;
}

std::unique_ptr<UinputSink> UinputSink::Create(const DeviceLayout& layout, std::string& error) {
  const EvdevPtr description = DescribeDevice(layout);
  // libevdev leaves the phys out of the device it makes; it is set on the
  // descriptor before the device is made from it.
  const int fd = open("/dev/uinput", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  if (!layout.phys.empty() && ioctl(fd, UI_SET_PHYS, layout.phys.c_str()) != 0) {
    error = std::string("cannot set its phys: ") + std::strerror(errno);
    close(fd);
    return nullptr;
  }
  libevdev_uinput* device = nullptr;
  const int result = libevdev_uinput_create_from_device(description.get(), fd, &device);
  if (result != 0) {
    error = std::strerror(-result);
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<UinputSink>(new UinputSink(device, fd));
}

UinputSink::~UinputSink() {
  libevdev_uinput_destroy(m_device);
  close(m_fd);
}

bool UinputSink::Write(const Frame& frame, int64_t) {
  for (const InputEvent& event : frame) {
    if (libevdev_uinput_write_event(m_device, event.type, event.code, event.value) != 0) {
      return false;
    }
  }
  return true;
}

std::string UinputSink::DeviceNode() const {
  const char* node = libevdev_uinput_get_devnode(m_device);
  return node != nullptr ? node : "";
}

int UinputSink::WaitUntilAnnounced() const {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto waited = [start] {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  };
  const auto pause = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  const std::string node = DeviceNode();
  if (node.empty() || access("/run/udev/control", F_OK) != 0) {
    pause(kSettleMs);
    return waited();
  }
  while (waited() < kAnnounceWaitMs) {
    struct stat info {};
    if (stat(node.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
      const std::string entry = "/run/udev/data/c" + std::to_string(major(info.st_rdev)) + ":" +
                                std::to_string(minor(info.st_rdev));
      if (access(entry.c_str(), F_OK) == 0) {
        pause(kAnnounceSettleMs);
        return waited();
      }
    }
    pause(10);
  }
  return waited();
}

void WriteEvemuDescription(std::FILE* out, const libevdev* device) {
  std::fprintf(out, "# EVEMU 1.3\n# Input device name: \"%s\"\n", libevdev_get_name(device));
  // evemu's format has no lines for these; comments, as evemu-record's own.
  if (const char* phys = libevdev_get_phys(device); phys != nullptr) {
    std::fprintf(out, "# Input device phys: %s\n", phys);
  }
  if (const char* uniq = libevdev_get_uniq(device); uniq != nullptr) {
    std::fprintf(out, "# Input device uniq: %s\n", uniq);
  }
  std::fprintf(out, "N: %s\n", libevdev_get_name(device));
  std::fprintf(out, "I: %04x %04x %04x %04x\n", libevdev_get_id_bustype(device),
               libevdev_get_id_vendor(device), libevdev_get_id_product(device),
               libevdev_get_id_version(device));
  WriteMask(out, "P:", INPUT_PROP_MAX,
            [device](unsigned code) { return libevdev_has_property(device, code) != 0; });
  for (unsigned type = 0; type <= EV_MAX; ++type) {
    const int maxCode = type == EV_SYN ? EV_MAX : libevdev_event_type_get_max(type);
    if (maxCode < 0) continue;
    char lead[8];
    std::snprintf(lead, sizeof lead, "B: %02x", type);
    WriteMask(out, lead, maxCode, [device, type](unsigned code) { return HasBit(device, type, code); });
  }
  for (unsigned code = 0; code <= ABS_MAX; ++code) {
    const input_absinfo* info = libevdev_get_abs_info(device, code);
    if (info == nullptr) continue;
    std::fprintf(out, "A: %02x %d %d %d %d %d\n", code, info->minimum, info->maximum, info->fuzz,
                 info->flat, info->resolution);
  }
}

EvemuSink::EvemuSink(std::FILE* out, const DeviceLayout& layout) : m_out(out) {
  WriteEvemuDescription(out, DescribeDevice(layout).get());
  std::fflush(out);
}

bool EvemuSink::Write(const Frame& frame, int64_t nowUs) {
  if (m_startUs < 0) m_startUs = nowUs;
  const int64_t at = nowUs - m_startUs;
  for (const InputEvent& event : frame) {
    const char* typeName = libevdev_event_type_get_name(event.type);
    const char* codeName = libevdev_event_code_get_name(event.type, event.code);
    std::fprintf(m_out, "E: %lld.%06lld %04x %04x %04d\t# %s / %s %d\n",
                 static_cast<long long>(at / 1000000), static_cast<long long>(at % 1000000),
                 event.type, event.code, event.value, typeName != nullptr ? typeName : "?",
                 codeName != nullptr ? codeName : "?", event.value);
  }
  return std::fflush(m_out) == 0;
}

std::string DeviceNameFor(const std::string& devicePath) {
  return std::string(kPenDeviceName) + " (" + std::filesystem::path(devicePath).filename().string() + ")";
}

std::string StableDeviceName(const std::string& devicePath) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path target = fs::canonical(devicePath, error);
  if (!error) {
    for (const fs::directory_entry& link : fs::directory_iterator("/dev/serial/by-id", error)) {
      std::error_code ignored;
      if (fs::canonical(link.path(), ignored) == target) return link.path().filename().string();
    }
  }
  return fs::path(devicePath).filename().string();
}

}  // namespace tqpen
