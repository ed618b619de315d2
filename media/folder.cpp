// Folder mode: every picture at the top level of a folder, cut out into another folder in one
// run. The networks load once, and the pictures go through a pipeline one deep on each side:
// while the network works on one picture, the next is decoded and the one before is rendered
// and encoded, so neither core waits on the single-threaded decoders and encoders.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <set>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/diagnostics.h"
#include "cli/state.h"
#include "matte/matte.h"
#include "media/failures.h"
#include "media/limits.h"
#include "media/modes.h"
#include "media/pictures.h"

namespace fs = std::filesystem;

namespace {

// One picture on its way through. Once it has failed it carries its line and nothing more
// is done with it.
struct Job {
  std::string name;            // the file's name in the folder
  std::string source, target;  // the paths the lines show
  Rect rect;
  std::optional<Image> picture, output;
  std::optional<std::string> failure;
};

// A path in a folder as typed on the command line.
std::string inside(const std::string& folder, const std::string& name) {
  return folder.ends_with('/') ? folder + name : folder + "/" + name;
}

// The pictures at the top level, by content, in the order of their names.
std::vector<std::string> pictureNames(const std::string& folder) {
  std::error_code error;
  fs::directory_iterator entries(folder, error);
  if (error) fail("cannot read " + folder + ": " + error.message());
  std::vector<std::string> names;
  for (const auto& entry : entries) {
    std::string name = entry.path().filename().string();
    if (entry.is_regular_file(error) && imaging::isPictureFile(inside(folder, name))) names.push_back(name);
  }
  std::ranges::sort(names);
  return names;
}

// Each picture's job, <name>.png in the output folder. Two pictures that differ only in their
// extension would write the same file: the second one fails instead.
std::vector<Job> jobsFor(const std::vector<std::string>& names) {
  std::vector<Job> jobs;
  std::set<std::string> targets;
  for (const auto& name : names) {
    Job job;
    job.name = name;
    job.source = inside(args.imageDir, name);
    job.target = inside(args.outDir, fs::path(name).stem().string() + ".png");
    if (!targets.insert(job.target).second)
      job.failure = "cannot write " + job.target + ": another picture of the folder is written there";
    jobs.push_back(std::move(job));
  }
  return jobs;
}

// Runs step on the job unless it has failed already. Whatever the step throws (memory, the
// network's run, a render) becomes the picture's failure line in the still mode's wording,
// and the run goes on with the next picture.
template <class Step>
Job attempted(Job job, Step step) {
  if (job.failure) return job;
  try {
    step(job);
  } catch (...) {
    job.failure = failureLine("cannot write " + job.target + ": ");
    job.picture.reset(), job.output.reset();
  }
  return job;
}

void decode(Job& job) {
  auto picture = Image::fromFile(job.source);
  if (!picture) {
    job.failure = "cannot read " + job.source;
    return;
  }
  const TargetSize size = targetSize(*picture);
  if (auto tooLarge = sizeProblem(size.width, size.height)) {
    job.failure = "cannot write " + job.target + ": " + *tooLarge;
    return;
  }
  job.rect = Rect{0, 0, double(size.width), double(size.height)};
  job.picture = stretchedPicture(*picture, job.rect);
}

void mask(Job& job, const std::optional<Image>& behind) {
  auto mask = rawMask(*job.picture, job.rect);
  if (!mask) job.failure = "no subject found in " + job.source;
  else job.output = matted(*job.picture, *mask, job.rect, backdrop(behind, job.rect));
  job.picture.reset();
}

void writeOut(Job& job) {
  if (auto error = writePicture(*job.output, job.target))
    job.failure = "cannot write " + job.target + ": " + *error;
}

// Renders and writes the picture, then reports it: its progress line, and its failure line
// if it has one. Whether it was written.
bool finished(Job job, std::size_t number, std::size_t total) {
  job = attempted(std::move(job), writeOut);
  log(std::to_string(number) + "/" + std::to_string(total) + " " + job.name);
  if (job.failure) log(*job.failure);
  return !job.failure;
}

[[noreturn]] void runPictures(std::vector<Job> jobs) {
  std::error_code error;
  fs::create_directories(args.outDir, error);
  if (error) fail("cannot write " + args.outDir + ": " + error.message());
  const std::optional<Image> behind = background();
  prepareMask();

  const std::size_t total = jobs.size();
  std::size_t written = 0;
  std::future<Job> decoding;
  std::future<bool> writing;
  auto decodeNext = [&](std::size_t i) {
    return std::async(std::launch::async, [](Job job) { return attempted(std::move(job), decode); }, std::move(jobs[i]));
  };
  if (total > 0) decoding = decodeNext(0);
  for (std::size_t i = 0; i < total; ++i) {
    Job job = decoding.get();
    if (i + 1 < total) decoding = decodeNext(i + 1);
    job = attempted(std::move(job), [&](Job& j) { mask(j, behind); });
    // One picture written at a time, so its lines come out in the pictures' order.
    if (writing.valid()) written += writing.get();
    writing = std::async(std::launch::async, finished, std::move(job), i + 1, total);
  }
  if (writing.valid()) written += writing.get();
  log("done " + std::to_string(written) + " frames");
  std::exit(written == total ? 0 : 1);
}

}  // namespace

void runFolder() {
  std::vector<Job> jobs = jobsFor(pictureNames(args.imageDir));
  // What fails outside any one picture (the networks' set-up, memory) ends the run.
  try {
    runPictures(std::move(jobs));
  } catch (...) {
    failOnException("cannot write " + args.outDir + ": ");
  }
}
