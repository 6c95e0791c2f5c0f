#pragma once
// A second thread for the file codecs: blocks of a batch are coded on the
// caller's thread and on one helper thread at once, each taking the next
// block not yet taken. Every block is coded into a place of its own, and the
// caller writes the results in order afterwards, so the output is the same
// whichever thread coded which block.
//
//   ParallelBlocks helper;
//   helper.Run(count, [&](std::size_t i) { code block i; });  // returns when all are done
//
//   helper.Begin(count, work);  // the helper starts on the batch ...
//   ... read and write files meanwhile ...
//   helper.Finish();            // ... and this thread joins in until all are done
//
// The helper thread is started at the first batch of two or more blocks and
// stopped when the object goes. Where no thread can be started, everything
// runs on the caller's thread.
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>

namespace bk::ecd {

class ParallelBlocks {
 public:
  ParallelBlocks() = default;
  ~ParallelBlocks();
  ParallelBlocks(const ParallelBlocks&) = delete;
  ParallelBlocks& operator=(const ParallelBlocks&) = delete;

  // Calls work(0) .. work(count - 1), each exactly once, on this thread and
  // the helper; returns when every call has returned.
  void Run(std::size_t count, const std::function<void(std::size_t)>& work);
  // Run in two halves: Begin hands the batch to the helper and returns at
  // once; Finish takes the indices still left and returns when every call
  // has returned. `work` must live until Finish returns; between the two the
  // caller touches nothing the calls use.
  void Begin(std::size_t count, const std::function<void(std::size_t)>& work);
  void Finish();

  // False keeps every call on the caller's thread (for comparisons).
  void SetEnabled(bool enabled) { enabled_ = enabled; }

 private:
  bool StartHelper();
  void HelperLoop();
  // Takes indices until none is left.
  void Drain();

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  bool started_ = false, startFailed_ = false, stop_ = false, enabled_ = true;
  // The batch being run; guarded by mutex_.
  const std::function<void(std::size_t)>* work_ = nullptr;
  std::size_t count_ = 0, next_ = 0, finished_ = 0;
  unsigned generation_ = 0;
  bool helperBusy_ = false;
  bool handedOver_ = false;  // Begin gave the batch to the helper
  const std::function<void(std::size_t)>* local_ = nullptr;  // or left it to Finish
  std::size_t localCount_ = 0;
};

}  // namespace bk::ecd
