#include "codec/ecd_parallel.h"

#include <system_error>

namespace bk::ecd {

ParallelBlocks::~ParallelBlocks() {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

bool ParallelBlocks::StartHelper() {
  if (started_) return true;
  if (startFailed_) return false;
  try {
    thread_ = std::thread([this] { HelperLoop(); });
    started_ = true;
  } catch (const std::system_error&) {
    startFailed_ = true;
  }
  return started_;
}

// Blocks are a few tens of microseconds of work each: one lock per block
// costs nothing next to that.
void ParallelBlocks::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (next_ < count_) {
    const std::size_t i = next_++;
    const auto* work = work_;
    lock.unlock();
    (*work)(i);
    lock.lock();
    ++finished_;
  }
  if (finished_ == count_) done_.notify_all();
}

void ParallelBlocks::HelperLoop() {
  unsigned seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
    if (stop_) return;
    seen = generation_;
    helperBusy_ = true;
    lock.unlock();
    Drain();
    lock.lock();
    helperBusy_ = false;
    done_.notify_all();
  }
}

void ParallelBlocks::Run(std::size_t count, const std::function<void(std::size_t)>& work) {
  Begin(count, work);
  Finish();
}

void ParallelBlocks::Begin(std::size_t count, const std::function<void(std::size_t)>& work) {
  handedOver_ = false;
  local_ = &work;
  localCount_ = count;
  // A single block goes to the helper only once it runs anyway: starting a
  // thread costs more than a small file's one block.
  if (count == 0 || !enabled_ || (count == 1 && !started_) || !StartHelper()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    work_ = &work;
    count_ = count;
    next_ = 0;
    finished_ = 0;
    ++generation_;
  }
  handedOver_ = true;
  wake_.notify_one();
}

void ParallelBlocks::Finish() {
  if (!handedOver_) {
    for (std::size_t i = 0; i < localCount_; ++i) (*local_)(i);
    localCount_ = 0;
    local_ = nullptr;
    return;
  }
  handedOver_ = false;
  Drain();
  // Every block is done, and the helper has left the batch (it must not
  // touch `work` once this returns).
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return finished_ == count_ && !helperBusy_; });
  work_ = nullptr;
  local_ = nullptr;
  localCount_ = 0;
}

}  // namespace bk::ecd
