#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace zuno {

// The limits of every exchange with the server, set by fceSetInteger (the numbers
// are documented in ftp_engine.h). Times in milliseconds.
struct EngineLimits {
  int64_t connect_ms = 80000;
  int64_t reply_ms = 80000;
  int64_t stall_ms = 80000;
  int64_t stall_bytes_per_second = 500;
  int64_t data_open_ms = 80000;
};

// What every engine keeps alike, whatever carries its FTP: whether it is attached,
// its limits, and the detail of each code's latest failure for fceErrorText.
class EngineState {
 public:
  bool attached = false;
  EngineLimits limits;

  // 0 when the engine is attached and the channel is 0, else the failure's code.
  int32_t CheckChannel(int32_t channel);
  // Keeps the detail of a failure under its code and gives the code. A detail that
  // holds the password (a server's reply that echoes it) is withheld whole, so that
  // no part of it shows and no other word of the text is touched.
  int32_t Record(int32_t code, const std::string& detail, const std::string& password = "");
  // The detail kept for a code (empty when none).
  std::string Detail(int32_t code) const;
  // fceSetInteger: one of the numbered limits.
  int32_t SetParameter(int32_t parameter, int32_t value);
  // fceErrorText: the code's meaning and its latest detail, cut to fit the buffer.
  int32_t ErrorText(int32_t channel, int32_t code, char* buffer, int32_t size) const;

 private:
  std::map<int32_t, std::string> details_;
};

}  // namespace zuno
