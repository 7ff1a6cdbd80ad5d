// The console on Windows: lines go into the console's screen buffer cell by cell,
// keys come from the console's input queue as key events.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "services/console_key_events.h"
#include "services/terminal_console.h"
#include "services/win32_util.h"

namespace zuno {

namespace {

// Light grey on black: every cell written and every row scrolled in.
constexpr WORD kAttribute = 7;
// Processed output, wrap at the end of a line.
constexpr DWORD kOutputMode = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;

// The key that a key wait gives when no key can ever come: neither "y" nor "Y".
const KeyValue kNoKeyboardKey("\0\0", 2);

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

ConsoleInputEvent EventOf(const INPUT_RECORD& record) {
  ConsoleInputEvent event;
  if (record.EventType != KEY_EVENT) return event;
  const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
  event.is_key = true;
  event.key_down = key.bKeyDown != FALSE;
  event.scan_code = key.wVirtualScanCode;
  event.character = key.uChar.AsciiChar;
  event.repeat_count = key.wRepeatCount;
  event.alt_held = (key.dwControlKeyState & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) != 0;
  return event;
}

class Win32Console final : public TerminalConsole {
 public:
  Win32Console() {
    const HANDLE standard_output = GetStdHandle(STD_OUTPUT_HANDLE);
    output_ = IsConsole(standard_output) ? standard_output : GetStdHandle(STD_ERROR_HANDLE);
    output_is_console_ = IsConsole(output_);
    keyboard_ = OwnedHandle(
        CreateFileA("CONIN$", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (output_is_console_) SetConsoleMode(output_, kOutputMode);
    // No line editing, no echo and no processed input, so that Ctrl+C arrives as
    // the key 3. Fails, and changes nothing, when standard input is no console.
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), 0);
  }

  void PrintText(std::string_view text) override {
    if (text.empty()) return;
    if (!output_is_console_) {
      WritePlain(text);
      return;
    }
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(output_, &info)) return;
    const SHORT width = info.dwSize.X;
    const SHORT height = info.dwSize.Y;
    if (width <= 0 || height <= 0) return;
    SHORT x = info.dwCursorPosition.X < width ? info.dwCursorPosition.X : 0;
    SHORT y = info.dwCursorPosition.Y < height ? info.dwCursorPosition.Y : height - 1;
    while (!text.empty()) {
      if (pending_scroll_) {
        pending_scroll_ = false;
        ScrollUp(width, height);
      }
      const size_t room = static_cast<size_t>(width - x);
      const std::string_view run = text.substr(0, room);
      WriteCells(run, x, y);
      text.remove_prefix(run.size());
      x = static_cast<SHORT>(x + run.size());
      if (x >= width) {
        x = 0;
        if (y + 1 >= height) {
          pending_scroll_ = true;
        } else {
          ++y;
        }
      }
    }
    SetConsoleCursorPosition(output_, COORD{x, y});
  }

  void EndLine() override {
    if (!output_is_console_) {
      WritePlain("\r\n");
      return;
    }
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(output_, &info)) return;
    const SHORT width = info.dwSize.X;
    const SHORT height = info.dwSize.Y;
    const SHORT y = info.dwCursorPosition.Y;
    if (y + 1 >= height) {
      if (pending_scroll_) ScrollUp(width, height);
      ScrollUp(width, height);
      SetConsoleCursorPosition(output_, COORD{0, static_cast<SHORT>(height - 1)});
    } else {
      SetConsoleCursorPosition(output_, COORD{0, static_cast<SHORT>(y + 1)});
    }
    pending_scroll_ = false;
  }

  KeyValue PollKey() override {
    if (!keyboard_.valid()) return {};
    for (;;) {
      INPUT_RECORD record;
      DWORD count = 0;
      if (!PeekConsoleInputA(keyboard_.get(), &record, 1, &count)) {
        keyboard_failed_ = true;
        return {};
      }
      if (count == 0) return {};
      const std::optional<KeyValue> key = KeyFromConsoleEvent(EventOf(record));
      DWORD removed = 0;
      if (!ReadConsoleInputA(keyboard_.get(), &record, 1, &removed) || removed == 0) return {};
      if (key.has_value()) return *key;
    }
  }

  // Looks through the waiting input events without taking any: only an event that
  // PollKey would take as a key counts.
  bool KeyWaiting() override {
    if (!keyboard_.valid()) return false;
    INPUT_RECORD records[64];
    DWORD count = 0;
    if (!PeekConsoleInputA(keyboard_.get(), records, 64, &count)) return false;
    for (DWORD i = 0; i < count; ++i) {
      if (KeyFromConsoleEvent(EventOf(records[i])).has_value()) return true;
    }
    return false;
  }

  KeyValue WaitKey() override {
    if (!keyboard_.valid()) return kNoKeyboardKey;
    for (;;) {
      Sleep(1);
      KeyValue key = PollKey();
      if (!key.empty()) return key;
      // A console whose input can no longer be read gives no key ever again.
      if (keyboard_failed_) return kNoKeyboardKey;
    }
  }

  // A started program shares the console; nothing has to change hands.
  void ReleaseTerminal() override {}
  void ReclaimTerminal() override {}

 private:
  // One run of cells into one row, each byte a cell as it is: control bytes show
  // as the console's glyphs for them and never move the cursor.
  void WriteCells(std::string_view run, SHORT x, SHORT y) {
    if (run.empty()) return;
    std::vector<CHAR_INFO> cells(run.size());
    for (size_t i = 0; i < run.size(); ++i) {
      cells[i].Char.AsciiChar = run[i];
      cells[i].Attributes = kAttribute;
    }
    const SHORT count = static_cast<SHORT>(run.size());
    SMALL_RECT region{x, y, static_cast<SHORT>(x + count - 1), y};
    WriteConsoleOutputA(output_, cells.data(), COORD{count, 1}, COORD{0, 0}, &region);
  }

  // Moves the whole screen buffer up by one row; the new bottom row is blank.
  void ScrollUp(SHORT width, SHORT height) {
    const SMALL_RECT rows{0, 1, static_cast<SHORT>(width - 1), static_cast<SHORT>(height - 1)};
    CHAR_INFO blank;
    blank.Char.AsciiChar = ' ';
    blank.Attributes = kAttribute;
    ScrollConsoleScreenBufferA(output_, &rows, nullptr, COORD{0, 0}, &blank);
  }

  // Without a console the lines go to standard error as plain bytes.
  void WritePlain(std::string_view bytes) {
    DWORD written = 0;
    while (!bytes.empty() && output_ != nullptr && output_ != INVALID_HANDLE_VALUE) {
      if (!WriteFile(output_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
          written == 0) {
        return;
      }
      bytes.remove_prefix(written);
    }
  }

  HANDLE output_ = INVALID_HANDLE_VALUE;
  bool output_is_console_ = false;
  OwnedHandle keyboard_;
  bool keyboard_failed_ = false;
  bool pending_scroll_ = false;
};

}  // namespace

std::unique_ptr<TerminalConsole> OpenTerminalConsole() { return std::make_unique<Win32Console>(); }

}  // namespace zuno
