// tq probe / tq find: "is my board there?"
#include <glob.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "tq/Commands.h"
#include "common/CommandLine.h"
#include "common/HostWindow.h"

namespace {

const char kProbeAbout[] =
    "Opens the board on port N (1 to 8, the device COM<N>; on Linux the path in\n"
    "TQ_COM<N>, else /dev/ttyS<N-1>) or on the device PATH, prints its version\n"
    "text, width and largest height, and closes it. Line set-up problems print as\n"
    "'comm CODE' lines.\n";
const char kProbeFooter[] =
    "Exit status: 0 when the board answered, 1 when the open failed, 2 for usage.\n";

const char kFindAbout[] =
    "Looks for a board on port 1, then port 2, prints 'port N' (or 'port none') and\n"
    "'errors A B', the two open results ('-' for an attempt not made), and closes\n"
    "what it opened. With --scan it tries instead every device of\n"
    "/dev/serial/by-id/, /dev/ttyUSB* and /dev/ttyACM* in turn, prints\n"
    "'PATH RESULT' for each and 'device PATH' (or 'device none') for the first\n"
    "with a board.\n";
const char kFindFooter[] = "Exit status: 0 when a board was found, 1 otherwise, 2 for usage.\n";

std::string Printable(const char* text) {
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p >= 0x21 && *p <= 0x7e && *p != '\\') {
      out.push_back(static_cast<char>(*p));
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", *p);
      out += hex;
    }
  }
  return out;
}

bool OnlyCommErrors(UINT message) { return message == TQ_MSG_COMM_ERROR; }

// The serial devices a board is plugged in as, each once (the by-id names
// are links to the others).
std::vector<std::string> SerialDevices() {
  std::vector<std::string> devices;
  std::set<std::string> seen;
  for (const char* pattern : {"/dev/serial/by-id/*", "/dev/ttyUSB*", "/dev/ttyACM*"}) {
    glob_t found{};
    if (glob(pattern, 0, nullptr, &found) == 0) {
      for (size_t i = 0; i < found.gl_pathc; ++i) {
        char real[PATH_MAX];
        const char* path = found.gl_pathv[i];
        const std::string key = realpath(path, real) != nullptr ? real : path;
        if (seen.insert(key).second) devices.push_back(path);
      }
    }
    globfree(&found);
  }
  return devices;
}

int FindOnPorts() {
  tqtool::PrintingWindow window(stdout, OnlyCommErrors);
  constexpr int kUnwritten = 0x7FFF;
  SFindPortError errors{static_cast<TQ_ERROR_CODE>(kUnwritten), static_cast<TQ_ERROR_CODE>(kUnwritten)};
  const TQ_PORT found = TQFindPort(window.Handle(), &errors);
  auto field = [](TQ_ERROR_CODE code) {
    return static_cast<int>(code) == kUnwritten ? std::string("-") : std::to_string(code);
  };
  if (found == 0) {
    std::printf("port none\n");
  } else {
    std::printf("port %d\n", found);
  }
  std::printf("errors %s %s\n", field(errors.port1).c_str(), field(errors.port2).c_str());
  std::fflush(stdout);
  if (found != 0) TQClose(found);
  tqtool::DrainMessages();
  return found != 0 ? 0 : 1;
}

// Each device is opened as port 1.
int FindByScan() {
  tqtool::PrintingWindow window(stdout, OnlyCommErrors);
  for (const std::string& device : SerialDevices()) {
    setenv("TQ_COM1", device.c_str(), 1);
    const TQ_ERROR_CODE result = TQOpenPort(1, window.Handle());
    if (result == TQ_SUCCESS) {
      std::printf("%s 0\ndevice %s\n", device.c_str(), device.c_str());
      std::fflush(stdout);
      TQClose(1);
      tqtool::DrainMessages();
      return 0;
    }
    std::printf("%s %d %s\n", device.c_str(), static_cast<int>(result),
                tqtool::OpenFailure(1, result).c_str());
    tqtool::DrainMessages();
  }
  std::printf("device none\n");
  return 1;
}

}  // namespace

int RunProbeCommand(int argc, char** argv) {
  long port = 0;
  std::string device;
  tqtool::CommandLine options("tq probe", "tq probe (--port N | --device PATH)", kProbeAbout,
                              kProbeFooter);
  options.Board(port, device);
  if (const int status = options.Parse(argc, argv); status >= 0) return status;
  tqtool::PrintingWindow window(stdout, OnlyCommErrors);
  const TQ_PORT number = static_cast<TQ_PORT>(port);
  const TQ_ERROR_CODE result = TQOpenPort(number, window.Handle());
  if (result != TQ_SUCCESS) {
    std::fprintf(stderr, "error %d %s\n", static_cast<int>(result), tqtool::OpenFailure(number, result).c_str());
    return 1;
  }
  char version[20] = {};
  unsigned width = 0;
  unsigned height = 0;
  TQGetBoardVersion(number, version);
  TQGetBoardWidth(number, &width);
  TQGetMaxBoardHeight(number, &height);
  std::printf("version %s\nwidth %u\nmax-height %u\n", Printable(version).c_str(), width, height);
  std::fflush(stdout);
  TQClose(number);
  tqtool::DrainMessages();
  return 0;
}

int RunFindCommand(int argc, char** argv) {
  bool scan = false;
  tqtool::CommandLine options("tq find", "tq find [--scan]", kFindAbout, kFindFooter);
  options.Flag("--scan", scan, "try the USB and by-id serial devices instead of ports 1 and 2");
  if (const int status = options.Parse(argc, argv); status >= 0) return status;
  return scan ? FindByScan() : FindOnPorts();
}
