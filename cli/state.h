#pragma once
// The shared rendering state: made once by the driver at start-up, read by every image
// operation of the run, never changed or released.
#include "imaging/context.h"
#include "imaging/image.h"

// Straight-alpha output.
extern imaging::Context ctx;
// The core erosion radius of the colour decontamination, in pixels at a picture height of 1920.
extern double CORE;
// Transparent black of infinite extent; its users crop it to their own rectangle.
extern imaging::Image clearColor;

// Makes the three above, in this order.
void makeRenderingState();
