#include "cli/state.h"

imaging::ColorSpace srgb = imaging::ColorSpace::sRGB;
imaging::Context ctx;
double CORE = 0;
imaging::Image clearColor;

void makeRenderingState() {
  srgb = imaging::ColorSpace::sRGB;
  ctx = imaging::Context({.outputPremultiplied = false,
                          .workingSpace = srgb,
                          .outputSpace = srgb,
                          .cacheIntermediates = false});
  CORE = 6.0;
  clearColor = imaging::Image::color({0, 0, 0, 0});
}
