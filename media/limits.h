#pragma once
// How large an output the tool takes on. Every frame, mask and intermediate scales with it,
// so a size that cannot fit in memory is refused up front with a reason, not met halfway by
// an allocation failure.
#include <cstdint>
#include <optional>
#include <string>

// Nothing when width x height pixels can be worked on, else why not, naming the size as
// given.
std::optional<std::string> sizeProblem(std::int64_t width, std::int64_t height);
