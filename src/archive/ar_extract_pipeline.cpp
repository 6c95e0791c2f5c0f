// The extraction's closer and decoding threads (Windows).
#include "archive/ar_extract_pipeline.h"

#include <cstring>
#include <new>
#include <utility>

#include "archive/ar_extract.h"

namespace bk::ar::ex {

namespace {

// The threads are off unless switched on: a restore of a 20,000-file tree
// under Wine once stopped for good after its first file, every thread
// waiting, and the cause is not known yet. The one-thread way is the
// default until it is.
bool g_oneThread = true;

std::string Folded(const std::string& path) {
  std::string folded(path);
  for (char& c : folded)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return folded;
}

}  // namespace

std::string FoldedPath(const std::string& path) { return Folded(path); }

bool PipelinedExtraction() { return !g_oneThread; }

CloseOutcome RunCloseJob(CloseJob& job) {
  CloseOutcome out;
  out.path = std::move(job.path);
  out.attributes = job.attributes;
  auto fail = [&](const char* call, DWORD error) {
    out.failedCall = call;
    out.failedError = error;
    job.file.reset();
    return out;
  };
  if (job.failFlush) return fail("FlushFileBuffers", ERROR_WRITE_FAULT);
  if (!::FlushFileBuffers(job.file.get())) return fail("FlushFileBuffers", ::GetLastError());

  if (SetInfoCall setInfo = HandleInfoCall()) {
    BasicInfo info{};
    if (job.timesOk) {
      info.lastAccessTime = Ticks(job.access);
      info.lastWriteTime = Ticks(job.modification);
    }
    info.fileAttributes = SettableAttributes(job.attributes);
    if (setInfo(job.file.get(), kFileBasicInfo, &info, sizeof info)) {
      if (!job.timesOk) {
        out.timesFailed = true;
        out.timesError = ERROR_INVALID_PARAMETER;
      }
      if (!::CloseHandle(job.file.release())) return fail("CloseHandle", ::GetLastError());
      return out;
    }
    // Not taken on the handle: the steps one by one, as below.
  }
  if (!job.timesOk) {
    out.timesFailed = true;
    out.timesError = ERROR_INVALID_PARAMETER;
  } else if (!::SetFileTime(job.file.get(), nullptr, &job.access, &job.modification)) {
    out.timesFailed = true;
    out.timesError = ::GetLastError();
  }
  if (!::CloseHandle(job.file.release())) return fail("CloseHandle", ::GetLastError());
  if (!::SetFileAttributesA(out.path.c_str(), SettableAttributes(job.attributes))) {
    out.attributesFailed = true;
    out.attributesError = ::GetLastError();
  }
  return out;
}

// --- FileCloser ----------------------------------------------------------------------

FileCloser::FileCloser(bool threaded) : threaded_(threaded) {
  if (!threaded) return;
  try {
    for (std::size_t i = 0; i < kThreads; ++i) threads_.emplace_back([this] { Run(); });
  } catch (...) {
    // Fewer threads than asked (or none: then each job runs in Submit).
    if (threads_.empty()) threaded_ = false;
  }
}

FileCloser::~FileCloser() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();  // the threads finish every job first
}

void FileCloser::Submit(CloseJob job) {
  if (!threaded_) {
    CloseOutcome outcome = RunCloseJob(job);
    outcomes_.emplace(nextJob_++, std::move(outcome));
    return;
  }
  job.folded = Folded(job.path);
  std::unique_lock<std::mutex> guard(lock_);
  done_.wait(guard, [this] { return jobs_.size() + busy_ < kMaxPending; });
  held_.insert(job.folded);
  jobs_.emplace_back(nextJob_++, std::move(job));
  guard.unlock();
  wake_.notify_one();
}

void FileCloser::TakeDone(std::vector<CloseOutcome>& out) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto it = outcomes_.find(nextOutcome_); it != outcomes_.end(); it = outcomes_.find(++nextOutcome_)) {
    out.push_back(std::move(it->second));
    outcomes_.erase(it);
  }
}

void FileCloser::Drain() {
  std::unique_lock<std::mutex> guard(lock_);
  done_.wait(guard, [this] { return jobs_.empty() && busy_ == 0; });
}

bool FileCloser::Broken() {
  std::lock_guard<std::mutex> guard(lock_);
  return broken_;
}

bool FileCloser::Holds(const std::string& foldedPath) {
  std::lock_guard<std::mutex> guard(lock_);
  return held_.count(foldedPath) != 0;
}

void FileCloser::Run() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    wake_.wait(guard, [this] { return stop_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopped, and nothing left
    std::uint64_t number = jobs_.front().first;
    CloseJob job = std::move(jobs_.front().second);
    jobs_.pop_front();
    ++busy_;
    guard.unlock();
    CloseOutcome outcome = RunCloseJob(job);
    guard.lock();
    held_.erase(held_.find(job.folded));
    try {
      outcomes_.emplace(number, std::move(outcome));
    } catch (...) {
      broken_ = true;
    }
    --busy_;
    done_.notify_all();
  }
}

// --- DecodeAhead ---------------------------------------------------------------------

DecodeAhead::DecodeAhead(bk::ecd::StreamDecoder& decoder, HandleReader& reader, const char* archivePath)
    : decoder_(decoder), reader_(reader), archivePath_(archivePath) {
  try {
    blocks_.resize(kBlocks);
    for (std::size_t i = 0; i < kBlocks; ++i) {
      blocks_[i].data.reset(new unsigned char[kPiece]);
      free_.push_back(i);
    }
    thread_ = std::thread([this] { Run(); });
    ok_ = true;
  } catch (...) {
    ok_ = false;
  }
}

DecodeAhead::~DecodeAhead() { Stop(); }

void DecodeAhead::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  freed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DecodeAhead::Run() {
  for (;;) {
    std::size_t index;
    {
      std::unique_lock<std::mutex> guard(lock_);
      freed_.wait(guard, [this] { return stop_ || !free_.empty(); });
      if (stop_) return;
      index = free_.front();
      free_.pop_front();
    }
    Block& b = blocks_[index];
    bool threw = false;
    try {
      b.length = decoder_.Read(b.data.get(), kPiece);
      b.status = decoder_.Status();
    } catch (...) {
      threw = true;  // no exception leaves the thread: the decoding ends failed
      b.length = 0;
      b.status = -1;
    }
    b.last = b.length < kPiece;
    if (threw) {
      b.error = ERROR_NOT_ENOUGH_MEMORY;
    } else if (b.last) {
      if (reader_.Failed())
        b.error = reader_.Error();
      else
        b.error = b.status != kEcdDecodeOk ? ERROR_INVALID_DATA : ERROR_HANDLE_EOF;
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      full_.push_back(index);
      if (b.status != kEcdDecodeOk) decodeFailed_ = true;
    }
    filled_.notify_one();
    if (b.last) return;
  }
}

bool DecodeAhead::NextBlock() {
  std::unique_lock<std::mutex> guard(lock_);
  if (haveCurrent_) {
    free_.push_back(current_);
    haveCurrent_ = false;
    freed_.notify_one();
  }
  filled_.wait(guard, [this] { return !full_.empty(); });
  current_ = full_.front();
  full_.pop_front();
  haveCurrent_ = true;
  offset_ = 0;
  return true;
}

std::size_t DecodeAhead::Read(void* out, std::size_t n) {
  auto* to = static_cast<unsigned char*>(out);
  std::size_t done = 0;
  while (done < n && !ended_) {
    if (!haveCurrent_ || offset_ == blocks_[current_].length) {
      if (haveCurrent_ && blocks_[current_].last) {
        ended_ = true;
        break;
      }
      NextBlock();
      continue;
    }
    const Block& b = blocks_[current_];
    const std::size_t take = b.length - offset_ < n - done ? b.length - offset_ : n - done;
    std::memcpy(to + done, b.data.get() + offset_, take);
    offset_ += take;
    done += take;
  }
  if (done < n && haveCurrent_ && blocks_[current_].last) {
    const Block& b = blocks_[current_];
    error_ = b.error;
    if (b.status != kEcdDecodeOk && !reported_) {
      reported_ = true;
      Line("vskEcdCtrlDecodeFile Error %s", archivePath_);
    }
  }
  return done;
}

}  // namespace bk::ar::ex

void vskarUseOneThreadForTest(bool on) { bk::ar::ex::g_oneThread = on; }
