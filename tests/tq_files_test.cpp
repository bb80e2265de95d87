// The files the commands read and write, as a user meets them: outputs that
// are devices, FIFOs, links or standard output are written where they are
// and never replaced; a failed or interrupted write leaves nothing behind;
// inputs that are no regular file, or too large, are refused at once; the
// replay's .val and .out land beside the capture; and a capture whose
// baseline a live open would refuse is refused the same way.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/Packets.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using tqtest::Bytes;

namespace {

const std::string kTq = TQ_TOOL_PATH;
const std::string kHello = std::string(TQ_SOURCE_DIR) + "/samples/hello-v2.raw";

struct ToolRun {
  int status = -1;
  std::string out, err;
  double seconds = 0;
};

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Runs `command` through the shell, standard input from /dev/null.
ToolRun Shell(const std::string& command) {
  const fs::path out = tqtest::TempDir() / "files.out";
  const fs::path err = tqtest::TempDir() / "files.err";
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(("(" + command + ") < /dev/null > " + out.string() + " 2> " + err.string()).c_str());
  ToolRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

// Names in `dir` left by an output's temporary.
std::vector<std::string> Temporaries(const fs::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind(".tq-", 0) == 0) found.push_back(entry.path().filename());
  }
  return found;
}

fs::file_type TypeOf(const fs::path& path) { return fs::symlink_status(path).type(); }

// A character device node of the kernel's memory devices (1,3 is null,
// 1,7 is full) in the scratch directory, never the system's own /dev: "" with
// the reason in `why` when this process may not make or open one.
std::string MakeDevice(const fs::path& path, unsigned minor, std::string& why) {
  if (mknod(path.c_str(), S_IFCHR | 0666, makedev(1, minor)) != 0) {
    why = std::string("cannot make a device node (needs root): ") + std::strerror(errno);
    return {};
  }
  const int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) {
    why = std::string("device nodes cannot be opened here (nodev?): ") + std::strerror(errno);
    return {};
  }
  close(fd);
  return path;
}

// A capture of the hello sample with its baseline replaced.
Bytes WithBaseline(uint32_t baseline) {
  const std::string text = Slurp(kHello);
  Bytes bytes(text.begin(), text.end());
  for (int i = 0; i < 4; ++i) bytes[16 + i] = static_cast<uint8_t>(baseline >> (8 * i));
  return bytes;
}

TEST(TqOutput, ADeviceAFifoOrALinkIsWrittenWhereItIsAndNeverReplaced) {
  const fs::path dir = tqtest::FreshDir("output_targets");
  std::string why;
  const bool devices = !MakeDevice(dir / "null", 3, why).empty() && !MakeDevice(dir / "full", 7, why).empty();
  { std::ofstream(dir / "real.svg") << "the user's picture\n"; }
  fs::create_symlink("real.svg", dir / "to-real.svg");
  fs::create_symlink("nothing.svg", dir / "to-nothing.svg");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::string fromFifo;
  std::thread reader([&] {
    // Opens as soon as the export opens its end: the bytes come through.
    std::ifstream in(dir / "fifo", std::ios::binary);
    fromFifo.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  });
  struct Case {
    const char* target;
    bool needsDevices;
    int status;
    std::string says;
    fs::file_type after;  // the target's own type afterwards
  } const cases[] = {
      {"fifo", false, 0, "", fs::file_type::fifo},
      {"to-real.svg", false, 0, "", fs::file_type::symlink},
      {"to-nothing.svg", false, 1, "is a link to a file that does not exist", fs::file_type::symlink},
      {"null", true, 0, "", fs::file_type::character},
      {"full", true, 1, std::strerror(ENOSPC), fs::file_type::character},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    if (c.needsDevices && !devices) {
      std::printf("skipped %s: %s\n", c.target, why.c_str());
      continue;
    }
    const ToolRun run = Shell(kTq + " export -q " + kHello + " --format svg -o " + (dir / c.target).string());
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(Has(run.err, c.says)) << run.err;
    if (c.status == 1) {
      EXPECT_EQ(run.err.rfind("tq export: ", 0), 0u) << run.err;
    }
    EXPECT_EQ(TypeOf(dir / c.target), c.after);
    EXPECT_EQ(Temporaries(dir), std::vector<std::string>{});
  }
  // A reader still waiting (the export never opened the FIFO) is let go.
  if (const int fd = open((dir / "fifo").c_str(), O_WRONLY | O_NONBLOCK); fd >= 0) close(fd);
  reader.join();
  EXPECT_EQ(fromFifo.rfind("<?xml", 0), 0u) << fromFifo.substr(0, 80);
  EXPECT_TRUE(Has(fromFifo, "</svg>"));
  EXPECT_TRUE(Has(Slurp(dir / "real.svg"), "</svg>")) << "the link's file holds the picture";
  EXPECT_FALSE(fs::exists(dir / "nothing.svg"));
}

TEST(TqOutput, StandardOutputGetsTheWholeDocumentAndNoWordsAfterIt) {
  for (const char* name : {"-", "/dev/stdout", "/dev/fd/1"}) {
    SCOPED_TRACE(name);
    // Through a pipe, as `tq export ... | viewer` runs.
    const ToolRun run = Shell(kTq + " export " + kHello + " --format svg -o " + name + " | cat");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("<?xml", 0), 0u) << run.out.substr(0, 80);
    EXPECT_EQ(run.out.substr(run.out.size() - 7), "</svg>\n");
    EXPECT_FALSE(Has(run.out, " pages, "));
  }
}

TEST(TqOutput, AFailedOrInterruptedWriteLeavesWhatWasThereAndNoTemporary) {
  const fs::path dir = tqtest::FreshDir("output_failures");
  // Three hundred sessions in one capture: a picture that takes a while.
  std::string hello = Slurp(kHello), big = hello.substr(0, 20);
  for (int i = 0; i < 300; ++i) big += hello.substr(20);
  { std::ofstream(dir / "big.raw", std::ios::binary) << big; }
  { std::ofstream(dir / "kept.pdf") << "the user's document\n"; }
  const std::string d = dir.string() + "/";

  // A file-size limit makes every write past 1 KiB fail with EFBIG.
  const ToolRun limited = Shell("ulimit -f 1; trap '' XFSZ; exec " + kTq + " export " + d + "big.raw -o " + d + "kept.pdf");
  EXPECT_EQ(limited.status, 1) << limited.err;
  EXPECT_TRUE(Has(limited.err, std::strerror(EFBIG))) << limited.err;
  EXPECT_EQ(Slurp(dir / "kept.pdf"), "the user's document\n");
  EXPECT_EQ(Temporaries(dir), std::vector<std::string>{});

  // SIGTERM while the picture is being written: nothing, not even the
  // temporary, stays.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string in = d + "big.raw", out = d + "big.png";
    execl(kTq.c_str(), "tq", "export", "-q", in.c_str(), "--dpi", "100", "-o", out.c_str(), nullptr);
    _exit(127);
  }
  bool seen = false;
  for (int i = 0; i < 5000 && !seen; ++i) {
    seen = !Temporaries(dir).empty();
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(child, SIGTERM);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(seen) << "the export ended before its temporary was seen";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_FALSE(fs::exists(dir / "big.png"));
  EXPECT_EQ(Temporaries(dir), std::vector<std::string>{});
}

TEST(TqInput, WhatIsNoRegularFileOrTooLargeIsRefusedAtOnce) {
  const fs::path dir = tqtest::FreshDir("inputs");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);  // no writer: it would never end
  fs::create_directory(dir / "folder");
  // Sparse: a gigabyte and a byte that takes no room.
  { std::ofstream(dir / "huge.val"); }
  fs::resize_file(dir / "huge.val", (uint64_t{1} << 30) + 1);
  const std::string out = " --svg " + (dir / "o.svg").string();
  struct Case {
    std::string command, says;
  };
  std::vector<Case> cases;
  for (const std::string& input : {std::string("/dev/zero"), (dir / "fifo").string(), (dir / "folder").string()}) {
    for (const std::string& command : {"info " + input, "dump " + input, "replay " + input,
                                      "render " + input + out, "export " + input + " -o " + (dir / "o.pdf").string()}) {
      cases.push_back({command, "is not a regular file"});
    }
  }
  cases.push_back({"info " + (dir / "huge.val").string(), "is larger than the 1 GiB read here"});
  cases.push_back({"dump " + (dir / "huge.val").string(), "is larger than the 1 GiB read here"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const ToolRun run = Shell("timeout 20 " + kTq + " " + c.command);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.err.rfind("tq " + c.command.substr(0, c.command.find(' ')) + ": ", 0), 0u) << run.err;
    EXPECT_TRUE(Has(run.err, c.says)) << run.err;
    EXPECT_LT(run.seconds, 5.0);
  }
  EXPECT_EQ(fs::directory_iterator(dir / "folder"), fs::directory_iterator{});
  EXPECT_FALSE(fs::exists(dir / "o.svg"));
  EXPECT_FALSE(fs::exists(dir / "o.pdf"));
}

TEST(TqReplay, ValAndOutLandBesideTheCaptureUnderItsName) {
  const fs::path dir = tqtest::FreshDir("beside");
  fs::create_directories(dir / "work");
  fs::create_directories(dir / "d");
  struct Case {
    const char* capture;  // relative to the working directory dir/work
    const char* base;     // where .val and .out go, relative to dir
  } const cases[] = {
      {"ab", "work/ab"},
      {"../d/x", "d/x"},
      {"FILE.raw", "work/FILE"},
      {"../d/run1.raw", "d/run1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capture);
    fs::copy_file(kHello, dir / "work" / c.capture, fs::copy_options::overwrite_existing);
    const ToolRun run = Shell("cd " + (dir / "work").string() + " && " + kTq + " replay " + c.capture);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_GT(fs::file_size(dir / (std::string(c.base) + ".val")), 20u);
    EXPECT_GT(fs::file_size(dir / (std::string(c.base) + ".out")), 20u);
  }
  // Nothing under a shortened name or in the working directory otherwise.
  for (const char* stray : {"work/.val", "work/.out", "work/x.val", "work/run1.val", "work/F.val", "d/.val"}) {
    EXPECT_FALSE(fs::exists(dir / stray)) << stray;
  }
}

TEST(TqCapture, ABaselineALiveOpenRefusesIsRefusedWithTheSameRule) {
  const fs::path dir = tqtest::FreshDir("baselines");
  struct Case {
    uint32_t baseline;
    bool accepted;
  } const cases[] = {
      {0xFFFFFFFFu, false}, {0x80000000u, false}, {499, false}, {5001, false}, {500, true}, {5000, true},
  };
  for (const Case& c : cases) {
    const std::string name = std::to_string(c.baseline);
    SCOPED_TRACE(name);
    const fs::path capture = dir / (name + ".raw"), document = dir / (name + ".svg");
    tqtest::WriteAll(capture, WithBaseline(c.baseline));
    const std::string refusal = "baseline " + name + " is outside 500 to 5000";
    const ToolRun info = Shell(kTq + " info " + capture.string());
    const ToolRun exported = Shell(kTq + " export -q " + capture.string() + " -o " + document.string());
    EXPECT_EQ(info.status, c.accepted ? 0 : 1) << info.err;
    EXPECT_EQ(exported.status, c.accepted ? 0 : 1) << exported.err;
    EXPECT_EQ(Has(info.err, refusal), !c.accepted) << info.err;
    EXPECT_EQ(Has(exported.err, refusal), !c.accepted) << exported.err;
    EXPECT_EQ(fs::exists(document), c.accepted);
    if (c.accepted) {
      EXPECT_TRUE(Has(info.out, "board width " + std::to_string(c.baseline + 340))) << info.out;
    }
  }
}

}  // namespace
