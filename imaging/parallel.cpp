#include "imaging/parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace imaging {
namespace {

// One batch of strips at a time: the caller publishes it, the helpers and the caller take
// strips until none is left, and the caller waits for the helpers. Each thread starts on its
// own contiguous share of the batch and only then helps with the others': neighbouring strips
// read the same input pixels, and threads working far apart seldom wait for each other.
// A strip that throws ends the batch: no further strips are handed out, and once the strips
// under way have ended the caller throws the first exception.
class Pool {
 public:
  Pool() {
    int helpers = workerCount() - 1;
    shares_.reset(new Share[workerCount()]);
    for (int i = 0; i < helpers; ++i) threads_.emplace_back([this, i] { serve(i + 1); });
  }
  ~Pool() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
  }

  void run(std::int64_t count, const std::function<void(std::int64_t, int)>& task) {
    if (count <= 0) return;
    if (insideBatch) {
      for (std::int64_t i = 0; i < count; ++i) task(i, currentWorker);
      return;
    }
    // One batch at a time, whatever thread asks: a worker's scratch memory serves one strip.
    std::lock_guard serial(runMutex_);
    if (threads_.empty() || count == 1) {
      Inside inside(0);
      for (std::int64_t i = 0; i < count; ++i) task(i, 0);
      return;
    }
    {
      std::lock_guard lock(mutex_);
      task_ = &task;
      for (int w = 0, n = workerCount(); w < n; ++w) {
        shares_[w].next = count * w / n;
        shares_[w].end = count * (w + 1) / n;
      }
      busy_ = static_cast<int>(threads_.size());
      failure_ = nullptr;
      abandoned_.store(false, std::memory_order_relaxed);
      ++generation_;
    }
    wake_.notify_all();
    work(0);
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
    task_ = nullptr;
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  }

 private:
  void serve(int worker) {
    std::uint64_t seen = 0;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
      }
      work(worker);
      std::lock_guard lock(mutex_);
      if (--busy_ == 0) done_.notify_one();
    }
  }

  // Marks the thread as running a batch's strip, so that a parallel call made from inside
  // runs on it, with its scratch memory.
  struct Inside {
    explicit Inside(int worker) : wasInside(insideBatch), wasWorker(currentWorker) {
      insideBatch = true;
      currentWorker = worker;
    }
    ~Inside() { insideBatch = wasInside, currentWorker = wasWorker; }
    bool wasInside;
    int wasWorker;
  };

  void work(int worker) {
    Inside inside(worker);
    for (std::int64_t i; (i = claim(worker)) >= 0;) {
      try {
        (*task_)(i, worker);
      } catch (...) {
        std::lock_guard lock(mutex_);
        if (!failure_) failure_ = std::current_exception();
        abandoned_.store(true, std::memory_order_relaxed);
        return;
      }
    }
  }

  // The next item of the worker's own share, else of another's; -1 when all are taken or the
  // batch has failed.
  std::int64_t claim(int worker) {
    if (abandoned_.load(std::memory_order_relaxed)) return -1;
    for (int k = 0, n = workerCount(); k < n; ++k) {
      Share& share = shares_[(worker + k) % n];
      if (share.next.load(std::memory_order_relaxed) >= share.end) continue;
      std::int64_t i = share.next.fetch_add(1);
      if (i < share.end) return i;
    }
    return -1;
  }

  struct Share {
    std::atomic<std::int64_t> next{0};
    std::int64_t end = 0;
  };

  static thread_local bool insideBatch;
  static thread_local int currentWorker;

  std::vector<std::thread> threads_;
  std::mutex runMutex_, mutex_;
  std::condition_variable wake_, done_;
  const std::function<void(std::int64_t, int)>* task_ = nullptr;
  std::unique_ptr<Share[]> shares_;
  int busy_ = 0;
  std::uint64_t generation_ = 0;
  std::exception_ptr failure_;  // the batch's first
  std::atomic<bool> abandoned_{false};
  bool stopping_ = false;
};

thread_local bool Pool::insideBatch = false;
thread_local int Pool::currentWorker = 0;

Pool& pool() {
  static Pool instance;
  return instance;
}

}  // namespace

int workerCount() {
  // The pool stops at eight threads however many cores there are.
  static const int count = std::min(coreCount(), 8);
  return count;
}

void parallelFor(std::int64_t count, std::int64_t grain,
                 const std::function<void(std::int64_t begin, std::int64_t end, int worker)>& fn) {
  if (count <= 0) return;
  grain = std::max<std::int64_t>(1, grain);
  pool().run((count + grain - 1) / grain, [&](std::int64_t i, int worker) {
    std::int64_t begin = i * grain;
    fn(begin, std::min(begin + grain, count), worker);
  });
}

void parallelFor(std::int64_t count, const std::function<void(std::int64_t i, int worker)>& fn) {
  pool().run(count, fn);
}

void forEachStrip(const PixelRect& rect, std::int64_t rowsPerStrip,
                  const std::function<void(const PixelRect& strip, int worker)>& fn) {
  if (rect.isEmpty()) return;
  parallelFor(rect.height, rowsPerStrip, [&](std::int64_t begin, std::int64_t end, int worker) {
    fn({rect.x, rect.y + begin, rect.width, end - begin}, worker);
  });
}

void forEachTile(const PixelRect& rect, std::int64_t tileWidth, std::int64_t tileHeight,
                 const std::function<void(const PixelRect& tile, int worker)>& fn) {
  if (rect.isEmpty()) return;
  tileWidth = std::max<std::int64_t>(1, tileWidth), tileHeight = std::max<std::int64_t>(1, tileHeight);
  std::int64_t columns = (rect.width + tileWidth - 1) / tileWidth;
  std::int64_t rows = (rect.height + tileHeight - 1) / tileHeight;
  pool().run(columns * rows, [&](std::int64_t i, int worker) {
    std::int64_t x = rect.x + (i % columns) * tileWidth, y = rect.y + (i / columns) * tileHeight;
    fn({x, y, std::min(tileWidth, rect.maxX() - x), std::min(tileHeight, rect.maxY() - y)}, worker);
  });
}

}  // namespace imaging
