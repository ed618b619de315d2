#include "segmentation/network.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#define ORT_API_MANUAL_INIT
#include <onnxruntime_cxx_api.h>
#undef ORT_API_MANUAL_INIT

#include "imaging/parallel.h"

namespace segmentation {
namespace {

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// An installed binary sits in <prefix>/bin with the runtime in <prefix>/lib and the models in
// <prefix>/share/quelm-matte, so a prefix moved as a whole keeps working. Elsewhere (the
// build tree) nothing sits there, and the paths the build compiled in serve.
std::optional<std::filesystem::path> installedPrefix() {
  std::error_code error;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  auto prefix = exe.parent_path().parent_path();
  if (!std::filesystem::exists(prefix / "share/quelm-matte", error)) return std::nullopt;
  return prefix;
}

std::filesystem::path runtimeLibrary() {
  if (auto prefix = installedPrefix()) return *prefix / "lib/libonnxruntime.so.1";
  return QUELM_ORT_LIBRARY;
}

// Why a file cannot be read, or nothing when it can.
std::optional<std::string> unreadable(const std::filesystem::path& file) {
  std::error_code error;
  if (!std::filesystem::exists(file, error)) return "missing (run scripts/setup.sh)";
  if (!std::filesystem::is_regular_file(file, error)) return "not a regular file";
  std::ifstream probe(file, std::ios::binary);
  if (!probe) return std::string("cannot be read: ") + std::strerror(errno);
  return std::nullopt;
}

void requireReadable(const std::filesystem::path& file) {
  if (auto reason = unreadable(file)) throw SetupError(file.string() + ": " + *reason);
}

// Opens the runtime library once; the C++ API reads the OrtApi it publishes. The library
// stays loaded for the life of the process.
void openRuntime() {
  static const bool opened = [] {
    const std::filesystem::path library = runtimeLibrary();
    requireReadable(library);
    // The runtime's own usage reporting would keep a database under the user's home and leave
    // a log file in /tmp on every run, and costs start-up time: a tool that cuts pictures
    // locally has nothing to report. It reads this once, as it starts.
    setenv("ORT_DISABLE_TELEMETRY", "1", 1);
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      std::string reason = firstLine(dlerror());
      const std::string path = library.string() + ": ";   // the loader names the file too
      if (reason.rfind(path, 0) == 0) reason.erase(0, path.size());
      throw SetupError(library.string() + ": cannot be loaded: " + reason);
    }
    using GetApiBase = const OrtApiBase* (*)();
    auto getApiBase = reinterpret_cast<GetApiBase>(dlsym(handle, "OrtGetApiBase"));
    if (!getApiBase) throw SetupError(library.string() + ": not an ONNX Runtime library");
    const OrtApi* api = getApiBase()->GetApi(ORT_API_VERSION);
    if (!api) {
      throw SetupError(library.string() + ": ONNX Runtime " + getApiBase()->GetVersionString() +
                       " lacks API version " + std::to_string(ORT_API_VERSION));
    }
    Ort::InitApi(api);
    return true;
  }();
  (void)opened;
}

// The runtime's own log is dropped: standard error carries the tool's lines alone, and a
// failing run reaches us anyway, as the exception that its status becomes.
void ORT_API_CALL dropLogLine(void*, OrtLoggingLevel, const char*, const char*, const char*, const char*) {}

// One environment per process, never destroyed: sessions made from it live as long as the
// process, and tearing the runtime down during exit buys nothing.
Ort::Env& environment() {
  openRuntime();
  static Ort::Env* env = new Ort::Env(ORT_LOGGING_LEVEL_ERROR, "quelm-matte", dropLogLine, nullptr);
  return *env;
}

Ort::SessionOptions sessionOptions(Buffers buffers) {
  Ort::SessionOptions options;
  if (buffers == Buffers::returned) options.DisableCpuMemArena();
  // Intra-op threads: one per core. A session's work is one network at a time, so inter-op
  // parallelism would only add threads.
  options.SetIntraOpNumThreads(imaging::coreCount());
  options.SetInterOpNumThreads(1);
  options.SetExecutionMode(ExecutionMode::ORT_SEQUENTIAL);
  options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  // Spinning threads would keep both cores busy after each run, while the routes' own pre- and
  // post-processing wants them.
  options.AddConfigEntry("session.intra_op.allow_spinning", "0");
  return options;
}

}  // namespace

struct Network::Session {
  Ort::Session session{nullptr};
  std::string inputName, outputName;
  Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
};

Network::Network(const std::filesystem::path& model, Buffers buffers) {
  requireReadable(model);
  Ort::Env& env = environment();
  session_ = std::make_unique<Session>();
  try {
    session_->session = Ort::Session(env, model.c_str(), sessionOptions(buffers));
    Ort::AllocatorWithDefaultOptions allocator;
    session_->inputName = session_->session.GetInputNameAllocated(0, allocator).get();
    session_->outputName = session_->session.GetOutputNameAllocated(0, allocator).get();
  } catch (const Ort::Exception& e) {
    throw SetupError(model.string() + ": not a usable model: " + firstLine(e.what()));
  }
}

Network::~Network() = default;

Tensor Network::run(const float* input, int channels, int height, int width) const {
  const std::int64_t shape[] = {1, channels, height, width};
  const std::size_t count = std::size_t(channels) * height * width;
  // The runtime only reads the input; its C API takes a mutable pointer regardless.
  Ort::Value in = Ort::Value::CreateTensor<float>(session_->memory, const_cast<float*>(input), count,
                                                  shape, 4);
  const char* inputName = session_->inputName.c_str();
  const char* outputName = session_->outputName.c_str();
  try {
    Ort::RunOptions options{nullptr};
    if (runFails && runFails()) {
      options = Ort::RunOptions();
      options.SetTerminate();
    }
    auto outputs = session_->session.Run(options, &inputName, &in, 1, &outputName, 1);
    auto info = outputs.front().GetTensorTypeAndShapeInfo();
    const float* values = outputs.front().GetTensorData<float>();
    return {info.GetShape(), std::vector<float>(values, values + info.GetElementCount())};
  } catch (const Ort::Exception& e) {
    throw std::runtime_error("segmentation network failed: " + firstLine(e.what()));
  }
}

std::filesystem::path modelDir() {
  if (const char* dir = std::getenv("QUELM_MODEL_DIR"); dir && *dir) return dir;
  if (auto prefix = installedPrefix()) return *prefix / "share/quelm-matte";
  return QUELM_MODEL_DIR;
}

}  // namespace segmentation

// GCC says it builds with AddressSanitizer with a macro, clang through __has_feature.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUELM_ADDRESS_SANITIZER
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(QUELM_ADDRESS_SANITIZER)
// ONNX Runtime loses a few hundred bytes of its own while it makes an environment and a
// session (allocated and dropped inside the library, whatever we release). LeakSanitizer keeps
// watching every other allocation; this object is linked into every program that can load the
// runtime. The tally of suppressed leaks stays unprinted: the tool's standard error is its
// diagnostics alone, and tests compare it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libonnxruntime.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif
