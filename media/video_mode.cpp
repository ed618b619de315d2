#include <cstdlib>

#include "cli/diagnostics.h"
#include "media/modes.h"

void runVideo() { fail("video mode is not built yet"); }
