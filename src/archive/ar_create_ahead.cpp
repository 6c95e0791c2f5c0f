// The stream's content reading thread (Windows).
#include "archive/ar_create_ahead.h"

#include <utility>

#include "archive/ar_create.h"
#include "archive/ar_create_common.h"
#include "common/io_faults.h"
#include "platform/unique_handle.h"

namespace bk::arc {

namespace {
// Off unless switched on, as the extraction's threads (ar_extract_pipeline.cpp).
bool g_oneThread = true;
}  // namespace

bool PipelinedStream() { return !g_oneThread; }

ContentAhead::ContentAhead(std::vector<ContentFile> files) : files_(std::move(files)) {
  try {
    pieces_.resize(kPieces);
    for (ContentPiece& p : pieces_) {
      p.data.reset(new char[kPiece]);
      free_.push_back(&p);
    }
    thread_ = std::thread([this] { Run(); });
    ok_ = true;
  } catch (...) {
    ok_ = false;
  }
}

ContentAhead::~ContentAhead() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  freed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

const ContentPiece& ContentAhead::Next() {
  std::unique_lock<std::mutex> guard(lock_);
  filled_.wait(guard, [this] { return !full_.empty(); });
  current_ = full_.front();
  full_.pop_front();
  return *current_;
}

void ContentAhead::Release() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (current_ != nullptr) free_.push_back(current_);
    current_ = nullptr;
  }
  freed_.notify_one();
}

ContentPiece* ContentAhead::TakeFree() {
  std::unique_lock<std::mutex> guard(lock_);
  freed_.wait(guard, [this] { return stop_ || !free_.empty(); });
  if (stop_) return nullptr;
  ContentPiece* p = free_.front();
  free_.pop_front();
  return p;
}

void ContentAhead::Post(ContentPiece* piece) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    full_.push_back(piece);
  }
  filled_.notify_one();
}

void ContentAhead::Run() {
  for (std::size_t i = 0; i < files_.size(); ++i)
    if (files_[i].size > 0 && !ReadFile(i)) return;
}

// The reads of one file as the one-thread stream makes them: the seam asked
// before each piece, the open's error given for a file that cannot be
// opened. False when the reading ends here (a failed piece, or stopped).
bool ContentAhead::ReadFile(std::size_t index) {
  const ContentFile& f = files_[index];
  bk::win::unique_hfile file(::CreateFileA(f.path->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  const DWORD openError = file ? 0 : ::GetLastError();
  std::uint64_t done = 0;
  while (done < f.size) {
    ContentPiece* p = TakeFree();
    if (p == nullptr) return false;
    p->file = index;
    p->asked = static_cast<DWORD>(f.size - done < kPiece ? f.size - done : kPiece);
    p->got = 0;
    p->ok = false;
    p->error = openError;
    p->closeOk = true;
    p->closeError = 0;
    if (bk::io::ShouldFail(bk::io::IoKind::kRead)) {
      p->error = ERROR_READ_FAULT;
    } else if (file) {
      p->ok = ::ReadFile(file.get(), p->data.get(), p->asked, &p->got, nullptr) != FALSE;
      if (!p->ok) p->error = ::GetLastError();
    }
    done += p->got;
    const bool failed = !p->ok || p->got != p->asked;
    p->last = failed || done >= f.size;
    if (p->last && !failed && !::CloseHandle(file.release())) {
      p->closeOk = false;
      p->closeError = ::GetLastError();
    }
    Post(p);
    if (failed) return false;
  }
  return true;
}

}  // namespace bk::arc

void vskarUseOneThreadStreamForTest(bool on) { bk::arc::g_oneThread = on; }
