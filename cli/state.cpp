#include "cli/state.h"

imaging::Context ctx;
double CORE = 0;
imaging::Image clearColor;

void makeRenderingState() {
  ctx = imaging::Context({.outputPremultiplied = false});
  CORE = 6.0;
  clearColor = imaging::Image::color({0, 0, 0, 0});
}
