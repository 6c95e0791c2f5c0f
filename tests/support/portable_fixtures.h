#pragma once
// Helpers for tests of the portable modules (native and Windows builds): a
// temporary folder, whole-file reads and writes, and a capture of the log
// lines and coded messages that the code under test sends.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "logging/event_observer.h"
#include "logging/native_sink.h"

namespace bk::test {

using Bytes = std::vector<unsigned char>;

class ScratchDir {
 public:
  ScratchDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("bk_test_" + std::to_string(random()) + "_" + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline Bytes ReadBytes(const std::string& path) {
  Bytes data;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    unsigned char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) data.insert(data.end(), buffer, buffer + n);
    std::fclose(f);
  }
  return data;
}

inline void WriteBytes(const std::string& path, const Bytes& data) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  if (!data.empty()) ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
  std::fclose(f);
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

inline Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes data(n);
  for (auto& b : data) b = static_cast<unsigned char>(random());
  return data;
}

inline Bytes TextBytes(std::size_t n) {
  static const char kText[] =
      "Before a software package is installed, the client saves the files that the "
      "installation will overwrite; after a failed installation it puts them back. ";
  Bytes data(n);
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(kText[(i * 7 + i / 91) % (sizeof kText - 1)]);
  return data;
}

struct CapturedEvent {
  std::uint32_t code;
  std::string category, text;
};

// Collects what the portable modules log while it exists.
class LogCapture : public VskNativeLogSink {
 public:
  LogCapture() {
    vskLogSetNativeSink(this);
  }
  ~LogCapture() override { vskLogSetNativeSink(nullptr); }
  void Line(const char* category, const char* message) override {
    lines.push_back(std::string(category) + "|" + message);
  }
  void Event(std::uint32_t code, const char* category, const char* text, std::int32_t) override {
    events.push_back({code, category, text});
  }
  bool Has(const std::string& categoryAndText) const {
    for (const auto& l : lines)
      if (l == categoryAndText) return true;
    return false;
  }
  bool HasPart(const std::string& part) const {
    for (const auto& l : lines)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> lines;
  std::vector<CapturedEvent> events;
};

}  // namespace bk::test
