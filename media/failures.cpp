#include "media/failures.h"

#include <exception>
#include <new>
#include <string_view>

#include "cli/diagnostics.h"
#include "segmentation/segmentation.h"

namespace {

std::string firstLine(std::string_view text) {
  text = text.substr(0, text.find('\n'));
  return std::string(text.empty() ? "unknown error" : text);
}

}  // namespace

void failOnException(const std::string& head) {
  try {
    throw;
  } catch (const segmentation::SetupError& e) {
    fail(e.what());
  } catch (const std::bad_alloc&) {
    fail(head + "out of memory");
  } catch (const std::exception& e) {
    fail(head + firstLine(e.what()));
  } catch (...) {
    fail(head + "unknown error");
  }
}
