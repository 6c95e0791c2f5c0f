#pragma once
// Lets tests see the coded messages that the library sends, with their
// arguments as passed to vskLogEvent. Null removes the observer.
#include <cstdint>

using VskEventObserver = void (*)(std::uint32_t code, const char* category, const char* text,
                                  std::int32_t number, const char* sourceFile, std::int32_t line);

void vskLogSetEventObserver(VskEventObserver observer);
