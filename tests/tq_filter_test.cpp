// `tq filter` run as a user runs it: samples on standard input, one output
// line per sample that leaves the filter.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct SRun {
  int status;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    std::array<char, 512> buffer;
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) text.append(buffer.data(), n);
    std::fclose(f);
  }
  return text;
}

// Runs `tq filter ARGS` with `input` on standard input.
SRun Filter(const std::string& args, const std::string& input) {
  char dir[] = "/tmp/tq_filter_testXXXXXX";
  SRun run{-1, {}, {}};
  if (mkdtemp(dir) == nullptr) return run;
  const std::string base = dir;
  if (FILE* f = std::fopen((base + "/in").c_str(), "wb")) {
    std::fwrite(input.data(), 1, input.size(), f);
    std::fclose(f);
  }
  const std::string command = std::string(TQ_TOOL_PATH) + " filter " + args + " < " + base +
                              "/in > " + base + "/out 2> " + base + "/err";
  const int status = std::system(command.c_str());
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadFile(base + "/out");
  run.err = ReadFile(base + "/err");
  for (const char* name : {"/in", "/out", "/err"}) std::remove((base + name).c_str());
  rmdir(dir);
  return run;
}

TEST(TqFilter, PrintsEverySampleInOneFormat) {
  const SRun run = Filter("--no-validate --no-antistreak --no-smooth",
                          "# kinds in hex or decimal\n"
                          "\n"
                          "0x80 0.1 -0 7\n"
                          "136 nan inf -2\n"
                          "  0XFE -inf 1e300 0\r\n"
                          "16 -12.5 3 2147483647\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "0x80 0.10000000000000001 -0 7 0\n"
            "0x88 nan inf -2 0\n"
            "0xfe -inf 1.0000000000000001e+300 0 0\n"
            "0x10 -12.5 3 2147483647 0\n");
}

TEST(TqFilter, RunsAllStagesAndResets) {
  struct SCase {
    const char* name;
    const char* args;
    const char* input;
    const char* expected;
  };
  const SCase kCases[] = {
      {"all stages", "", "0x80 0 0 1\n0x80 10 10 1\n0x80 20 0 1\n0xfe 0 0 0\n",
       "0x80 0 0 1 0\n0x80 10 4 1 0\n0x80 20 0 1 0\n0xfe 0 0 0 0\n"},
      // What a reset releases waits for the drain after the next sample.
      {"reset releases on the next push", "--no-validate --no-antistreak --no-smooth",
       "reset 2 0\n0x80 1 1 1\n0x80 2 2 1\n0x80 3 3 1\n",
       "0xfe 0 0 0 0\n0x80 3 3 1 0\n"},
      {"discarding reset", "--no-validate --no-antistreak",
       "0x80 1 1 1\n0x80 2 2 1\nreset 0 1\n", "0xfe 0 0 0 0\n"},
      {"validation marks", "--no-antistreak --no-smooth",
       "0x80 0 0 1\n0x80 10 0 1\n0x80 20 0 1\n0x80 30 0 1\n0x80 40 0 1\n0x80 50 0 1\n"
       "0x88 80 0 1\n0x88 90 0 1\n",
       "0x80 0 0 1 1\n0x80 10 0 1 1\n0x80 20 0 1 1\n0x80 30 0 1 1\n0x80 40 0 1 1\n"
       "0x80 50 0 1 1\n0x80 60 0 1 1\n0x88 90 0 1 0\n"},
  };
  for (const SCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const SRun run = Filter(c.args, c.input);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, c.expected);
  }
}

TEST(TqFilter, RejectsMalformedInput) {
  const char* kBadLines[] = {
      "0x80 1 2\n",      "0x100 1 2 3\n", "256 1 2 3\n",     "-1 1 2 3\n",   "0x 1 2 3\n",
      "0x80 1,5 2 3\n",  "0x80 1 2 3.5\n", "0x80 1 2 3 4\n", "0x80 0x1p3 2 3\n",
      "reset 1\n",       "reset 1 2\n",   "reset x 0\n",     "pen 1 2 3\n",
  };
  for (const char* bad : kBadLines) {
    SCOPED_TRACE(bad);
    const SRun run = Filter("--no-validate --no-antistreak --no-smooth",
                            std::string("0x80 1 1 1\n# fine so far\n") + bad + "0x80 2 2 1\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "0x80 1 1 1 0\n") << "nothing is printed after the bad line";
    EXPECT_NE(run.err.find("line 3"), std::string::npos) << run.err;
  }
  EXPECT_EQ(Filter("--help", "").status, 0);
  EXPECT_EQ(Filter("--smooth", "").status, 2);
}

}  // namespace
