#pragma once
// Native builds have no client log files: the portable modules' messages go to
// a sink that the program (a tool, a test) installs. Without one they are
// dropped.
#include <cstdint>

class VskNativeLogSink {
 public:
  virtual ~VskNativeLogSink() = default;
  virtual void Line(const char* category, const char* message) = 0;
  virtual void Event(std::uint32_t code, const char* category, const char* text,
                     std::int32_t number) = 0;
};

void vskLogSetNativeSink(VskNativeLogSink* sink);
