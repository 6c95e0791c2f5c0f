#include "archive_stream.h"

#include <cstring>

#include "common/byte_order.h"
#include "codec/ecd.h"

namespace bkrtool {

namespace {
bool IsEncodedHead(const unsigned char* head) {
  return EcdCheckMagicNum(bk::LoadBe32(head), bk::LoadBe32(head + 4), bk::LoadBe32(head + 8),
                          bk::LoadBe32(head + 12)) == 1;
}
}  // namespace

long long ArchiveStream::ReadFile(void* buffer, std::size_t n) {
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < n) {
    const DWORD want = static_cast<DWORD>(n - done > (1u << 20) ? (1u << 20) : n - done);
    DWORD got = 0;
    if (!::ReadFile(file_.get(), out + done, want, &got, nullptr)) {
      error_ = ::GetLastError();
      return -1;
    }
    if (got == 0) break;
    done += got;
    fileDone_ += got;
  }
  return static_cast<long long>(done);
}

bool ArchiveStream::Open(const std::string& path, std::string& why) {
  path_ = path;
  file_.reset(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file_) {
    why = path + " cannot be opened (Windows error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  LARGE_INTEGER size{};
  if (::GetFileSizeEx(file_.get(), &size)) fileSize_ = static_cast<std::uint64_t>(size.QuadPart);
  const long long got = ReadFile(head_, sizeof head_);
  if (got < 0) {
    why = path + " cannot be read (Windows error " + std::to_string(error_) + ")";
    return false;
  }
  if (got == static_cast<long long>(sizeof head_) && IsEncodedHead(head_)) {
    // The decoder reads the head again from the start.
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN)) {
      why = path + " cannot be read";
      return false;
    }
    fileDone_ = 0;
    decoder_ = std::make_unique<bk::ecd::StreamDecoder>(input_, path_.c_str(), fileSize_);
    const int rc = decoder_->Begin();
    if (rc != kEcdDecodeOk) {
      why = "the encoded file cannot be decoded (result " + std::to_string(rc) + ")";
      return false;
    }
    return true;
  }
  headLeft_ = static_cast<std::size_t>(got);
  legacy_ = got >= 10 && head_[8] == 'N' && head_[9] == 'N';
  return true;
}

std::size_t ArchiveStream::Read(void* buffer, std::size_t n) {
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  if (headLeft_ > 0) {
    const std::size_t take = n < headLeft_ ? n : headLeft_;
    std::memcpy(out, head_ + headAt_, take);
    headAt_ += take;
    headLeft_ -= take;
    done = take;
  }
  if (done < n) {
    if (decoder_) {
      done += decoder_->Read(out + done, n - done);
    } else {
      const long long got = ReadFile(out + done, n - done);
      if (got > 0) done += static_cast<std::size_t>(got);
    }
  }
  tally_.Add(out, done);
  position_ += done;
  return done;
}

bool ArchiveStream::Seek(std::uint64_t offset) {
  if (offset < position_) return false;
  static unsigned char scratch[64 * 1024];
  while (position_ < offset) {
    const std::uint64_t left = offset - position_;
    const std::size_t want = left < sizeof scratch ? static_cast<std::size_t>(left) : sizeof scratch;
    if (Read(scratch, want) != want) return false;
  }
  return true;
}

std::uint64_t ArchiveStream::Size() const { return decoder_ ? UINT64_MAX : fileSize_; }

bool ArchiveStream::Drain(std::string& why) {
  static unsigned char scratch[64 * 1024];
  while (Read(scratch, sizeof scratch) == sizeof scratch) {
  }
  if (decoder_ && decoder_->Finish() != kEcdDecodeOk) {
    why = Failure();
    return false;
  }
  if (error_ != 0) {
    why = Failure();
    return false;
  }
  return true;
}

std::string ArchiveStream::Failure() const {
  if (decoder_ && decoder_->Status() != kEcdDecodeOk)
    return "the encoded file cannot be decoded past plain byte " + std::to_string(decoder_->Produced()) +
           " (result " + std::to_string(decoder_->Status()) + ")";
  if (error_ != 0) return path_ + " cannot be read (Windows error " + std::to_string(error_) + ")";
  return std::string();
}

}  // namespace bkrtool
