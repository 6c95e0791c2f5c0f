#include "archive/ar_io.h"

#include <cstring>
#include <new>
#include <sys/stat.h>

namespace bk::ar {

namespace {
bool SeekFile(std::FILE* f, std::uint64_t offset, int whence) {
#if defined(_WIN32)
  return _fseeki64(f, static_cast<long long>(offset), whence) == 0;
#else
  return fseeko(f, static_cast<off_t>(offset), whence) == 0;
#endif
}
}  // namespace

std::size_t ArMemorySource::Read(void* buffer, std::size_t n) {
  const std::size_t left = size_ - position_;
  const std::size_t take = n < left ? n : left;
  if (take > 0) std::memcpy(buffer, data_ + position_, take);
  position_ += take;
  return take;
}

bool ArMemorySource::Seek(std::uint64_t offset) {
  if (offset > size_) return false;
  position_ = static_cast<std::size_t>(offset);
  return true;
}

ArFileSource::ArFileSource(std::FILE* file) : file_(file) {
#if defined(_WIN32)
  struct _stati64 st;
  if (_fstati64(_fileno(file), &st) == 0 && st.st_size > 0) size_ = static_cast<std::uint64_t>(st.st_size);
#else
  struct stat st;
  if (fstat(fileno(file), &st) == 0 && st.st_size > 0) size_ = static_cast<std::uint64_t>(st.st_size);
#endif
}

std::size_t ArFileSource::Read(void* buffer, std::size_t n) { return std::fread(buffer, 1, n, file_); }

bool ArFileSource::Seek(std::uint64_t offset) {
  return offset <= size_ && SeekFile(file_, offset, SEEK_SET);
}

bool ArMemorySink::Write(const void* data, std::size_t n) {
  try {
    const auto* p = static_cast<const unsigned char*>(data);
    bytes_.insert(bytes_.end(), p, p + n);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool ArMemorySink::WriteAt(std::uint64_t offset, const void* data, std::size_t n) {
  if (offset > bytes_.size() || n > bytes_.size() - offset) return false;
  std::memcpy(bytes_.data() + offset, data, n);
  return true;
}

bool ArFileSink::Write(const void* data, std::size_t n) { return std::fwrite(data, 1, n, file_) == n; }

bool ArFileSink::WriteAt(std::uint64_t offset, const void* data, std::size_t n) {
  if (!SeekFile(file_, offset, SEEK_SET)) return false;
  const bool ok = std::fwrite(data, 1, n, file_) == n;
  return SeekFile(file_, 0, SEEK_END) && ok;
}

}  // namespace bk::ar
