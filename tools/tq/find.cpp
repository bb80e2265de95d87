// tq find: which port, or which USB serial device, has a board.
#include <glob.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "common/Board.h"
#include "common/CommandLine.h"
#include "common/HostWindow.h"
#include "common/MessageLoop.h"
#include "tq/Commands.h"

namespace {

const char kAbout[] =
    "Looks for a board on port 1, then port 2, prints 'port N' (or 'port none') and\n"
    "'errors A B', the two open results ('-' for an attempt not made), and closes\n"
    "what it opened. With --scan it tries instead every device of\n"
    "/dev/serial/by-id/, /dev/ttyUSB* and /dev/ttyACM* in turn, prints\n"
    "'PATH RESULT' for each and 'device PATH' (or 'device none') for the first\n"
    "with a board.\n";
const char kFooter[] = "Exit status: 0 when a board was found, 1 otherwise, 2 for usage.\n";

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
    tqtool::MapPort(1, device);
    const TQ_ERROR_CODE result = TQOpenPort(1, window.Handle());
    if (result == TQ_SUCCESS) {
      std::printf("%s 0\ndevice %s\n", device.c_str(), device.c_str());
      std::fflush(stdout);
      TQClose(1);
      tqtool::DrainMessages();
      return 0;
    }
    std::printf("%s %d %s\n", device.c_str(), static_cast<int>(result), tqtool::OpenFailure(1, result).c_str());
    tqtool::DrainMessages();
  }
  std::printf("device none\n");
  return 1;
}

}  // namespace

int RunFindCommand(int argc, char** argv) {
  bool scan = false;
  tqtool::CommandLine options("tq find", "tq find [--scan]", kAbout, kFooter);
  options.Flag("--scan", scan, "try the USB and by-id serial devices instead of ports 1 and 2");
  if (const int status = options.Parse(argc, argv); status >= 0) return status;
  return scan ? FindByScan() : FindOnPorts();
}
