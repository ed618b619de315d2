#pragma once
#include <sys/types.h>

// libvips is started once, on first use, with its own worker threads kept few: our renderer
// already keeps both cores busy.
namespace imaging {
void ensureVips();
// The process umask, for files we create with mkstemp (which ignores it).
mode_t currentUmask();
}  // namespace imaging
