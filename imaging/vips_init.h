#pragma once
#include <vips/vips.h>

#include <memory>
#include <string>

// libvips is started once, on first use, with a worker per core, as the engine's pool has.
namespace imaging {
void ensureVips();

struct Unref {
  void operator()(void* object) const { g_object_unref(object); }
};
// A libvips object released with its last owner.
template <class T>
using VipsPtr = std::unique_ptr<T, Unref>;

// The first line of libvips' latest error, which is then cleared; `otherwise` when it has none.
std::string takeVipsError(const char* otherwise);
}  // namespace imaging
