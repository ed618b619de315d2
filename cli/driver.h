#pragma once
// The program's top-level flow: options, rendering state, then one of the two modes or a
// usage line. It never returns.
[[noreturn]] void drive(int argc, const char* const* argv);
