#include "cli/args.h"

#include <clocale>
#include <cstring>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Every field in one line, so a case compares them all at once (NaN included, which ==
// would not) and a failure shows the whole record.
std::string describe(const Args& a) {
  std::ostringstream s;
  s << std::setprecision(17) << "input=" << std::quoted(a.input)
    << " image=" << std::quoted(a.image) << " out=" << std::quoted(a.out) << " ss=" << a.ss
    << " t=" << a.t << " size=" << a.width << "x" << a.height << " feather=" << a.feather
    << " erode=" << a.erode << " mode=" << std::quoted(a.mode)
    << " decontaminate=" << a.decontaminate << " smooth=" << a.smooth
    << " imageDir=" << std::quoted(a.imageDir) << " outDir=" << std::quoted(a.outDir)
    << " maskOnly=" << a.maskOnly << " background=" << std::quoted(a.background);
  return s.str();
}

Args parseOptions(const std::vector<std::string>& options) {
  std::vector<const char*> argv{"quelm-matte"};
  for (const auto& option : options) argv.push_back(option.c_str());
  return parse(static_cast<int>(argv.size()), argv.data());
}

struct Case {
  std::vector<std::string> options;  // the arguments after the program's name
  Args want;
};

const Case cases[] = {
    {{}, {}},

    // Pairing is by position alone.
    {{"--in", "--image", "pic.png"}, {.input = "--image"}},
    {{"--out", "a.png", "--mode"}, {.out = "a.png", .mode = ""}},
    {{"--IN", "clip.mp4", "--t", "2"}, {.t = 2}},
    {{"--in=clip.mp4", "--t", "2"}, {}},
    {{"-t", "5", "--t", "2"}, {.t = 2}},
    {{"stray", "--t", "2", "--ss", "1"}, {}},
    {{"--in", "a.mp4", "--in", "b.mp4"}, {.input = "b.mp4"}},
    {{"--in", "a.mp4", "--in"}, {.input = ""}},

    // Strings pass through byte for byte, invalid UTF-8 included.
    {{"--image", "~/Bilder/Grüße 1.png", "--out", " out.png "},
     {.image = "~/Bilder/Grüße 1.png", .out = " out.png "}},
    {{"--in", "\xff\xfe.mp4", "--mode", "Person"}, {.input = "\xff\xfe.mp4", .mode = "Person"}},

    // Numbers: the whole value in strtod's C-locale forms, else the field's default.
    {{"--ss", "1.5", "--t", "-2.5e1"}, {.ss = 1.5, .t = -25}},
    {{"--ss", "+.5", "--t", "5."}, {.ss = 0.5, .t = 5}},
    {{"--ss", "0x1p3", "--t", "-0X1.8P1"}, {.ss = 8, .t = -3}},
    {{"--ss", "INF", "--t", "-Infinity", "--feather", "NaN"},
     {.ss = inf, .t = -inf, .feather = nan}},
    {{"--ss", "1e400", "--t", "1e-400"}, {.ss = inf, .t = 0}},
    {{"--ss", "1,5"}, {}},
    {{"--ss", "abc"}, {}},
    {{"--ss", "5s"}, {}},
    {{"--ss", " 1"}, {}},
    {{"--ss", "\v1"}, {}},
    {{"--ss", "1 "}, {}},
    {{"--ss", ""}, {}},
    {{"--t"}, {}},
    {{"--feather", "4", "--erode", "-2"}, {.feather = 4, .erode = -2}},
    {{"--feather", "4", "--erode", "3", "--feather", "abc", "--erode", "x"}, {}},

    // Only smooth is limited, to [0, 0.95].
    {{"--smooth", "0.5"}, {.smooth = 0.5}},
    {{"--smooth", "nan"}, {.smooth = 0}},
    {{"--smooth", "-1"}, {.smooth = 0}},
    {{"--smooth", "2"}, {.smooth = 0.95}},
    {{"--smooth", "inf"}, {.smooth = 0.95}},
    {{"--smooth", "abc"}, {.smooth = 0.3}},
    {{"--smooth", "0", "--smooth"}, {.smooth = 0.3}},

    // Size: integers between lower-case x's; exactly two must survive, else nothing changes.
    {{"--size", "1920x1080"}, {.width = 1920, .height = 1080}},
    {{"--size", "1920xx1080"}, {.width = 1920, .height = 1080}},
    {{"--size", "x1920x1080x"}, {.width = 1920, .height = 1080}},
    {{"--size", "1920xabcx1080"}, {.width = 1920, .height = 1080}},
    {{"--size", "-5x10"}, {.width = -5, .height = 10}},
    {{"--size", "+5x+0"}, {.width = 5, .height = 0}},
    {{"--size", "9223372036854775808x5x-9223372036854775808"},
     {.width = 5, .height = std::numeric_limits<std::int64_t>::min()}},
    {{"--size", "1920X1080"}, {}},
    {{"--size", "x1080"}, {}},
    {{"--size", "1x2x3"}, {}},
    {{"--size", "+-5x10"}, {}},
    {{"--size", "5x10 "}, {}},
    {{"--size", "100x200", "--size", "1920X1080", "--size"}, {.width = 100, .height = 200}},

    // decontaminate is off only for three exact words.
    {{"--decontaminate", "off"}, {.decontaminate = false}},
    {{"--decontaminate", "false"}, {.decontaminate = false}},
    {{"--decontaminate", "0"}, {.decontaminate = false}},
    {{"--decontaminate", "0", "--decontaminate", "False"}, {}},
    {{"--decontaminate", "0", "--decontaminate", "OFF"}, {}},
    {{"--decontaminate", "0", "--decontaminate", "no"}, {}},
    {{"--decontaminate", "0", "--decontaminate", "0.0"}, {}},
    {{"--decontaminate", "0", "--decontaminate"}, {}},

    // A folder and what is written. mask-only is a switch read as decontaminate is.
    {{"--image-dir", "in", "--out-dir", "out dir/"}, {.imageDir = "in", .outDir = "out dir/"}},
    {{"--mask-only", "1", "--background", "#00ff00"}, {.maskOnly = true, .background = "#00ff00"}},
    {{"--mask-only", "yes"}, {.maskOnly = true}},
    {{"--mask-only", "1", "--mask-only", "off"}, {}},
    {{"--mask-only", "0"}, {}},
    {{"--mask-only"}, {.maskOnly = true}},
    {{"--background", "sky.jpg", "--background"}, {.background = ""}},
};

// Any installed locale whose decimal separator is a comma, so the table can show that the
// user's locale does not change how numbers read.
const char* commaLocale() {
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "ru_RU.UTF-8", "es_ES.UTF-8"})
    if (std::setlocale(LC_ALL, name) && std::strcmp(std::localeconv()->decimal_point, ",") == 0)
      return name;
  std::setlocale(LC_ALL, "C");
  return nullptr;
}

TEST(Parse, ReadsEachOptionAsDocumented) {
  const char* comma = commaLocale();
  for (const char* locale : {"C", comma}) {
    if (!locale) continue;
    std::setlocale(LC_ALL, locale);
    for (const Case& c : cases) {
      std::string argv;
      for (const auto& option : c.options) argv += " [" + option + "]";
      SCOPED_TRACE(std::string(locale) + ":" + argv);
      EXPECT_EQ(describe(parseOptions(c.options)), describe(c.want));
    }
  }
  std::setlocale(LC_ALL, "C");
  if (!comma)
    GTEST_SKIP() << "no comma-decimal locale to check against "
                    "(localedef -i de_DE -f UTF-8 de_DE.UTF-8 makes one)";
}

}  // namespace
