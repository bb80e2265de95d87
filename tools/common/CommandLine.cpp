#include "common/CommandLine.h"

#include <CLI/CLI.hpp>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "common/Number.h"

namespace tqtool {

#ifndef TQ_VERSION
#define TQ_VERSION "unknown"
#endif
const char kToolVersion[] = TQ_VERSION;

namespace {

constexpr size_t kLeftColumn = 22;
constexpr size_t kWidth = 80;

// `text` in lines that end before kWidth, all but the first indented to the
// column of the help.
std::string Wrapped(const std::string& text) {
  std::string out, line;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (!line.empty() && kLeftColumn + line.size() + 1 + word.size() >= kWidth) {
      out += line + "\n" + std::string(kLeftColumn, ' ');
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  return out + line;
}

// "--port" from "-p,--port": the name a message quotes.
std::string LongName(const std::string& option) {
  const size_t comma = option.rfind(',');
  return comma == std::string::npos ? option : option.substr(comma + 1);
}

std::string Spelled(const std::string& option) {
  std::string out = option;
  for (size_t at = out.find(','); at != std::string::npos; at = out.find(',', at + 2)) {
    out.insert(at + 1, " ");
  }
  return out;
}

// A value as a person writes it: no exponent, no trailing zeros.
std::string Plain(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", value);
  std::string out = text;
  while (out.back() == '0') out.pop_back();
  if (out.back() == '.') out.pop_back();
  return out;
}

// "a whole number from 1 to 8", "a number from 0.01 to 1000".
template <typename T>
std::string Range(T low, T high) {
  if constexpr (std::is_floating_point_v<T>) {
    return "a number from " + Plain(low) + " to " + Plain(high);
  } else {
    return "a whole number from " + std::to_string(low) + " to " + std::to_string(high);
  }
}

}  // namespace

bool IsHelp(const char* argument) {
  return std::string_view(argument) == "--help" || std::string_view(argument) == "-h";
}

CommandLine::CommandLine(std::string name, std::string synopsis, std::string about, std::string footer)
    : m_name(std::move(name)),
      m_synopsis(std::move(synopsis)),
      m_about(std::move(about)),
      m_footer(std::move(footer)),
      m_app(std::make_unique<CLI::App>()) {
  m_app->name(m_name);
  m_app->formatter(std::make_shared<CLI::FormatterLambda>(
      [this](const CLI::App*, std::string, CLI::AppFormatMode) { return Help(); }));
  Describe("-h, --help", "print this help and exit");
}

CommandLine::~CommandLine() = default;

void CommandLine::Describe(const std::string& left, const std::string& help) {
  m_entries.push_back({left, help});
}

void CommandLine::Flag(const std::string& option, bool& value, const std::string& help) {
  m_app->add_flag(option, value);
  Describe(Spelled(option), help);
}

void CommandLine::Text(const std::string& option, std::string& value, const std::string& what,
                       const std::string& help) {
  m_app->add_option(option, value);
  Describe(Spelled(option) + " " + what, help);
}

template <typename T>
static std::function<std::string()> NumberCheck(const std::string& option, const std::string& given,
                                                T& value, T low, T high) {
  return [option, &given, &value, low, high]() -> std::string {
    if (given.empty()) return {};
    T parsed{};
    if (ParseNumber(given, parsed) && parsed >= low && parsed <= high) {
      value = parsed;
      return {};
    }
    return "bad value '" + given + "' for " + LongName(option) + ": " + Range(low, high) +
           " is wanted";
  };
}

void CommandLine::Number(const std::string& option, long& value, long low, long high,
                         const std::string& what, const std::string& help) {
  m_texts.push_back(std::make_unique<std::string>());
  Text(option, *m_texts.back(), what, help);
  m_checks.push_back(NumberCheck(option, *m_texts.back(), value, low, high));
}

void CommandLine::Number(const std::string& option, double& value, double low, double high,
                         const std::string& what, const std::string& help) {
  m_texts.push_back(std::make_unique<std::string>());
  Text(option, *m_texts.back(), what, help);
  m_checks.push_back(NumberCheck(option, *m_texts.back(), value, low, high));
}

void CommandLine::Argument(const std::string& name, std::string& value, const std::string& help,
                           bool optional) {
  CLI::Option* argument = m_app->add_option(name, value);
  if (!optional) argument->required();
  Describe(name, help);
}

void CommandLine::Check(std::function<std::string()> check) { m_checks.push_back(std::move(check)); }

void CommandLine::Version(const std::string& text) {
  m_app->set_version_flag("--version", text);
  Describe("--version", "print the version and exit");
}

bool CommandLine::Given(const std::string& option) const {
  return m_app->count(LongName(option)) > 0;
}

int CommandLine::Parse(int argc, char** argv) {
  try {
    m_app->parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(Help().c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion& version) {
    std::printf("%s\n", version.what());
    return 0;
  } catch (const CLI::ParseError& error) {
    return Fail(error.what());
  }
  for (const auto& check : m_checks) {
    if (const std::string problem = check(); !problem.empty()) return Fail(problem);
  }
  return -1;
}

int CommandLine::Fail(const std::string& problem) const {
  std::fprintf(stderr, "%s: %s\nsee %s --help\n", m_name.c_str(), problem.c_str(), m_name.c_str());
  return 2;
}

std::string CommandLine::Help() const {
  std::string text = "usage: " + m_synopsis + "\n" + m_about;
  if (!m_about.empty() && m_about.back() != '\n') text += '\n';
  text += "Options:\n";
  for (const Entry& entry : m_entries) {
    std::string left = "  " + entry.left;
    left += left.size() < kLeftColumn ? std::string(kLeftColumn - left.size(), ' ') : "\n" + std::string(kLeftColumn, ' ');
    text += left + Wrapped(entry.help) + "\n";
  }
  text += m_footer;
  if (!m_footer.empty() && m_footer.back() != '\n') text += '\n';
  return text;
}

}  // namespace tqtool
