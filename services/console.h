#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zuno {

// What one key press gives: empty (no key), one character byte, or the byte 0
// followed by the key's scan code for a key that produces no character
// (function keys, arrows, Alt with a letter, ...).
using KeyValue = std::string;

// The console the driver writes its lines to and reads its keys from.
// No operation reports a failure or prints anything of its own.
class Console {
 public:
  virtual ~Console() = default;

  // Writes the bytes at the cursor, without a line end. Control bytes are shown,
  // never acted on: only EndLine starts a new line.
  virtual void PrintText(std::string_view text) = 0;
  // Moves the cursor to the start of the next line.
  virtual void EndLine() = 0;
  // Takes the next waiting key, or gives the empty key value. Never waits for one.
  virtual KeyValue PollKey() = 0;
  // Whether a key is waiting, without taking it: the next PollKey finds it. Never
  // waits. Lets a long network step stop early for a key that will end the run.
  virtual bool KeyWaiting() = 0;
  // Waits without a time limit for the next key and takes it. Where no keyboard
  // exists at all it returns at once with a value that is neither "y" nor "Y".
  virtual KeyValue WaitKey() = 0;
};

// Writes the printed form of a number: sign position, digits, one blank.
void PrintNumber(Console& console, int32_t number);

}  // namespace zuno
