#pragma once
// A file that appears at its target name only once it is complete. It is written under a
// temporary name beside the target and renamed onto it at the end; a run that ends any other
// way (a failure line, SIGINT, SIGTERM, SIGHUP) removes it, so neither a half-written file
// nor the temporary is left behind.

#include <string>

// Creates the temporary file beside target and returns its path. Fails with "cannot write "
// target ": " and the reason when the target's folder cannot take it, or the target is a
// folder or a file that may not be written.
std::string startPartialFile(const std::string& target);

// Makes the temporary durable and renames it onto the target, failing as above.
void finishPartialFile(const std::string& target);
