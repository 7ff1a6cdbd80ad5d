#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace zuno {

// The program's arguments: slots 1 to 10 in the order they stand on the command
// line; slot 0 is never filled. `count` is the number of the last argument, which
// goes on counting past the tenth although only ten are stored.
struct CommandArgs {
  static constexpr int kSlots = 11;
  std::array<std::string, kSlots> slots;
  int16_t count = 0;
};

// Splits the command-line text after the program's name: blanks separate, double
// quotes group, no escape character, trailing blanks removed.
CommandArgs SplitCommandLine(std::string_view text);

// The raw command line of a process without the program's own name: a name in
// double quotes runs up to the next quote, otherwise up to the first character of
// code 32 or less; blanks after the name are skipped, any other control character
// is kept as the start of the text.
std::string_view SkipProgramName(std::string_view command_line);

// The arguments as a system that splits them itself delivers them (argv): each one
// exactly as given, arguments past the tenth counted but not stored.
CommandArgs CommandArgsFromArgv(int argc, const char* const* argv);

}  // namespace zuno
