#pragma once
// The options record: every setting the tool takes comes from its command line, read once at
// start-up into one plain value that the rest of the run only reads.
#include <cstdint>
#include <string>

struct Args {
  std::string input{}, image{}, out{};  // {}: designated initializers may leave them out
  double ss = 0, t = 0;
  std::int64_t width = 0, height = 0;
  double feather = 1.5, erode = 1.0;
  std::string mode = "subject";
  bool decontaminate = true;
  double smooth = 0.3;
  // Every picture at the top level of imageDir, each written into outDir.
  std::string imageDir{}, outDir{};
  // What is written: the mask alone, or the cut-out over a colour (#rrggbb) or a picture.
  bool maskOnly = false;
  std::string background{};
};

// Reads argv[1 .. argc) as key-value pairs that alternate by position alone. It never fails
// and writes nothing: whether the options make sense together is the driver's call, so an
// unknown key is dropped with its value, an unreadable value gives the field its default,
// and a key given last gets the empty value.
Args parse(int argc, const char* const* argv);

// The one record, stored by the driver at start-up and unchanged after.
extern Args args;
