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

std::string failureLine(const std::string& head) {
  try {
    throw;
  } catch (const segmentation::SetupError& e) {
    return e.what();
  } catch (const std::bad_alloc&) {
    return head + "out of memory";
  } catch (const std::exception& e) {
    return head + firstLine(e.what());
  } catch (...) {
    return head + "unknown error";
  }
}

void failOnException(const std::string& head) { fail(failureLine(head)); }
