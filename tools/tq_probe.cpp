// tq probe / tq find: "is my board there?"
#include <cstdio>
#include <cstring>
#include <string>

#include "TqCommands.h"
#include "TqWindow.h"

namespace {

const char kProbeUsage[] =
    "usage: tq probe --port N\n"
    "Opens the board on port N (1 to 8, the device COM<N>; on Linux the path in\n"
    "TQ_COM<N>, else /dev/ttyS<N-1>), prints its version text, width and largest\n"
    "height, and closes it. Line set-up problems print as 'comm CODE' lines.\n"
    "Exit status: 0 when the board answered, 1 when the open failed, 2 for usage.\n";

const char kFindUsage[] =
    "usage: tq find\n"
    "Looks for a board on port 1, then port 2, prints 'port N' (or 'port none') and\n"
    "'errors A B', the two open results ('-' for an attempt not made), and closes\n"
    "what it opened. Exit status: 0 when a board was found, 1 otherwise.\n";

bool IsHelp(const char* arg) { return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0; }

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

}  // namespace

int RunProbeCommand(int argc, char** argv) {
  long port = 0;
  bool havePort = false;
  for (int i = 1; i < argc; ++i) {
    if (IsHelp(argv[i])) {
      std::fputs(kProbeUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc && tqtool::ParseInt(argv[i + 1], port)) {
      havePort = true;
      ++i;
    } else {
      std::fprintf(stderr, "tq probe: unexpected argument '%s'\n%s", argv[i], kProbeUsage);
      return 2;
    }
  }
  if (!havePort) {
    std::fputs(kProbeUsage, stderr);
    return 2;
  }
  tqtool::PrintingWindow window(stdout, OnlyCommErrors);
  const TQ_PORT number = static_cast<TQ_PORT>(port);
  const TQ_ERROR_CODE result = TQOpenPort(number, window.Handle());
  if (result != TQ_SUCCESS) {
    std::fprintf(stderr, "error %d %s\n", static_cast<int>(result), tqtool::ErrorMeaning(result));
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
  for (int i = 1; i < argc; ++i) {
    if (IsHelp(argv[i])) {
      std::fputs(kFindUsage, stdout);
      return 0;
    }
    std::fprintf(stderr, "tq find: unexpected argument '%s'\n%s", argv[i], kFindUsage);
    return 2;
  }
  tqtool::PrintingWindow window(stdout, OnlyCommErrors);
  constexpr int kUnwritten = 0x7FFF;
  SFindPortError errors{static_cast<TQ_ERROR_CODE>(kUnwritten),
                        static_cast<TQ_ERROR_CODE>(kUnwritten)};
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
