// The command line of every tq command and of tqsim, read one way: the same
// --help layout, and anything that is not understood (an unknown option, a
// missing or malformed value, a value outside its range, a stray argument)
// answered on standard error with one line of what is wrong and where the
// help is, exit status 2. A bad value is quoted with the option it was given
// to and the values it may take, in words.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace tqtool {

class CommandLine {
 public:
  // `name` as a person types it ("tq live"); `synopsis` follows "usage: ";
  // `about` explains the command; `footer` ends the help (formats, exit
  // status).
  CommandLine(std::string name, std::string synopsis, std::string about, std::string footer = {});
  ~CommandLine();
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  void Flag(const std::string& option, bool& value, const std::string& help);
  void Text(const std::string& option, std::string& value, const std::string& what,
            const std::string& help);
  // A whole number (or, for double, any number) from `low` to `high`.
  void Number(const std::string& option, long& value, long low, long high, const std::string& what,
              const std::string& help);
  void Number(const std::string& option, double& value, double low, double high,
              const std::string& what, const std::string& help);
  // An argument without an option name; required unless `optional`.
  void Argument(const std::string& name, std::string& value, const std::string& help,
                bool optional = false);
  // A check of the values once the command line is read: "" or the problem,
  // reported as a usage error.
  void Check(std::function<std::string()> check);
  // Adds --version, printing `text`.
  void Version(const std::string& text);

  // True when `option` appeared on the command line (after a successful Parse).
  bool Given(const std::string& option) const;
  // -1 when the command is to run; otherwise the exit status: 0 after --help
  // or --version, 2 after a usage error (reported on standard error).
  int Parse(int argc, char** argv);
  // Reports a usage problem found after parsing (two options that exclude
  // each other, one that needs another) like a parse error; returns 2.
  int Fail(const std::string& problem) const;
  std::string Help() const;

 private:
  struct Entry {
    std::string left;
    std::string help;
  };
  void Describe(const std::string& left, const std::string& help);

  std::string m_name;
  std::string m_synopsis;
  std::string m_about;
  std::string m_footer;
  std::unique_ptr<CLI::App> m_app;
  std::vector<Entry> m_entries;
  // Each checks one value once the command line is read: "" or the problem.
  std::vector<std::function<std::string()>> m_checks;
  std::vector<std::unique_ptr<std::string>> m_texts;  // what number options were given
};

// True for the two spellings of a request for help.
bool IsHelp(const char* argument);

// The tools' version, as --version prints it.
extern const char kToolVersion[];

}  // namespace tqtool
