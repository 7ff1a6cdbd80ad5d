#include "engine/engine_state.h"

#include <algorithm>
#include <cstring>

#include "engine/engine_errors.h"

namespace zuno {

int32_t EngineState::CheckChannel(int32_t channel) {
  if (!attached) return Record(kEngineNotAttached, "");
  if (channel != 0) return Record(kEngineBadChannel, "channel " + std::to_string(channel));
  return 0;
}

int32_t EngineState::Record(int32_t code, const std::string& detail, const std::string& password) {
  if (!password.empty() && detail.find(password) != std::string::npos) {
    details_[code] = "(a reply that is not shown: it holds the password)";
  } else {
    details_[code] = detail;
  }
  return code;
}

std::string EngineState::Detail(int32_t code) const {
  const auto found = details_.find(code);
  return found == details_.end() ? std::string() : found->second;
}

int32_t EngineState::SetParameter(int32_t parameter, int32_t value) {
  int64_t* setting = nullptr;
  switch (parameter) {
    case 1:
      setting = &limits.connect_ms;
      break;
    case 3:
      setting = &limits.reply_ms;
      break;
    case 5:
      setting = &limits.stall_ms;
      break;
    case 10:
      setting = &limits.stall_bytes_per_second;
      break;
    case 13:
      setting = &limits.data_open_ms;
      break;
    default:
      return Record(kEngineUnknownParameter, "parameter " + std::to_string(parameter));
  }
  if (value < 1) {
    return Record(kEngineBadArgument,
                  "parameter " + std::to_string(parameter) + " must be 1 or more");
  }
  *setting = value;
  return 0;
}

int32_t EngineState::ErrorText(int32_t channel, int32_t code, char* buffer, int32_t size) const {
  if (buffer == nullptr || size < 1) return kEngineBadArgument;
  const char* meaning = EngineErrorMeaning(code);
  std::string text = meaning != nullptr ? meaning : "Unknown FTP engine error";
  if (const std::string detail = Detail(code); !detail.empty()) text += ": " + detail;
  const size_t length = std::min(text.size(), static_cast<size_t>(size) - 1);
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  if (!attached) return kEngineNotAttached;
  if (channel != 0) return kEngineBadChannel;
  return meaning != nullptr ? 0 : kEngineBadArgument;
}

}  // namespace zuno
