#include "driver/command_line.h"

#include <vector>

#include "services/command_words.h"

namespace zuno {

namespace {

void Store(CommandArgs& args, std::string word) {
  if (args.count < INT16_MAX) ++args.count;
  if (args.count < CommandArgs::kSlots) args.slots[args.count] = std::move(word);
}

}  // namespace

CommandArgs SplitCommandLine(std::string_view text) {
  CommandArgs args;
  for (std::string& word : SplitCommandWords(text)) Store(args, std::move(word));
  return args;
}

std::string_view SkipProgramName(std::string_view command_line) {
  size_t pos = 0;
  if (!command_line.empty() && command_line.front() == '"') {
    const size_t close = command_line.find('"', 1);
    pos = close == std::string_view::npos ? command_line.size() : close + 1;
  } else {
    while (pos < command_line.size() && static_cast<unsigned char>(command_line[pos]) > ' ') ++pos;
    if (pos < command_line.size() && command_line[pos] != ' ') return command_line.substr(pos);
  }
  while (pos < command_line.size() && command_line[pos] == ' ') ++pos;
  return command_line.substr(pos);
}

CommandArgs CommandArgsFromArgv(int argc, const char* const* argv) {
  CommandArgs args;
  for (int i = 1; i < argc; ++i) Store(args, argv[i]);
  return args;
}

}  // namespace zuno
