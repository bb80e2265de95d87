// The board's version texts read as the C library's strtod reads them in
// the C locale, whatever locale the host has set.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "api/TextNumber.h"
#include "support/TempDir.h"

namespace {

// strtod itself, in the C locale, on at most `limit` characters.
double Reference(const char* text, size_t limit) {
  const std::string copy(text, strnlen(text, limit));
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  std::setlocale(LC_NUMERIC, "C");
  const double value = std::strtod(copy.c_str(), nullptr);
  std::setlocale(LC_NUMERIC, saved.c_str());
  return value;
}

const char* const kTexts[] = {
    "2.1",   "2.0",     "1e1",      "1E1",     "1e",       "1e+",     "1.5e-1x", " 2.1",   "\t\n2.1",
    "+2.1",  "-2.1",    "+-2",      "--2",     "- 2",      "2.1xyz",  "2,1",     ".5",     "5.",
    ".",     "",        "abc",      "0x10",    "0X1p1",    "0x1.8p1", "0x",      "0xg",    "0x.8",
    "0x1p",  "-0x2",    "inf",      "-INF",    "infinity", "nan",     "1e400",   "-1e400", "1e-400",
    "0x1p9999", "99.96", "007",     "3.25bxyz", "1.7\x13",
};

void ExpectAsStrtod(const char* locale) {
  for (const char* text : kTexts) {
    for (const size_t limit : {size_t{3}, size_t{18}}) {
      const double want = Reference(text, limit);
      const double got = tq::ParseDecimal(text, limit);
      if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << locale << " '" << text << "' limit " << limit;
      } else {
        EXPECT_EQ(got, want) << locale << " '" << text << "' limit " << limit;
      }
    }
  }
}

TEST(TextNumber, ReadsAsStrtodInTheCLocale) {
  ExpectAsStrtod("C");
  EXPECT_EQ(tq::ParseDecimal(nullptr, 5), 0.0);
  EXPECT_EQ(tq::ParseDecimal("2.15", 3), 2.1) << "never past the limit";
}

// A host that took its user's locale, one with a decimal comma, still has
// its board read as "v2.1" = 2.1.
TEST(TextNumber, TheHostsLocaleChangesNothing) {
  const std::filesystem::path dir = tqtest::TempDir() / "locales";
  std::filesystem::create_directories(dir);
  const std::string make = "localedef -i de_DE -f UTF-8 " + (dir / "de_DE.UTF-8").string() + " >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "localedef cannot build a decimal-comma locale here";
  setenv("LOCPATH", dir.c_str(), 1);
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "the built locale does not load";
  EXPECT_EQ(std::strtod("2,5", nullptr), 2.5) << "the host's strtod reads a decimal comma";
  ExpectAsStrtod("de_DE");
  EXPECT_EQ(tq::ParseDecimal("v2.1" + 1, 18), 2.1);
  char text[8];
  tq::FormatVersion(2.05, text, sizeof text);
  EXPECT_STREQ(text, "v2.0");
  std::setlocale(LC_ALL, "C");
  unsetenv("LOCPATH");
}

}  // namespace
