#include "services/key_decoder.h"

#include <utility>

#include "services/glyphs.h"

namespace zuno {

namespace {

constexpr char kEsc = 0x1B;

// Scan codes of the keys that produce no character.
constexpr char kF1 = 0x3B;
constexpr char kF11 = 0x57;
constexpr char kF12 = 0x58;
constexpr char kHome = 0x47;
constexpr char kUp = 0x48;
constexpr char kPageUp = 0x49;
constexpr char kLeft = 0x4B;
constexpr char kRight = 0x4D;
constexpr char kEnd = 0x4F;
constexpr char kDown = 0x50;
constexpr char kPageDown = 0x51;
constexpr char kInsert = 0x52;
constexpr char kDelete = 0x53;
// Ctrl+Space / Ctrl+@ send the byte 0; the PC keyboard reports it on the "2" key.
constexpr char kKeyTwo = 0x03;

// A sequence this long without its final byte is not a key sequence at all; it is
// given up as one key rather than buffered without end.
constexpr size_t kLongestSequence = 32;

DecodedKey Key(KeyValue value, size_t consumed) {
  return {DecodedKey::Status::kKey, std::move(value), consumed};
}

DecodedKey ScanKey(char scan_code, size_t consumed) {
  return Key(KeyValue{'\0', scan_code}, consumed);
}

// A key that produces no character and that the program does not know by name.
DecodedKey UnnamedKey(size_t consumed) { return ScanKey('\0', consumed); }

DecodedKey NeedMore() { return {DecodedKey::Status::kNeedMore, {}, 0}; }

// The PC keyboard's scan code of a letter key, either case.
char LetterScanCode(unsigned char letter) {
  static constexpr char kCodes[26] = {
      0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17, 0x24, 0x25, 0x26, 0x32,  // a-m
      0x31, 0x18, 0x19, 0x10, 0x13, 0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C,  // n-z
  };
  return kCodes[(letter | 0x20) - 'a'];
}

bool IsLetter(unsigned char byte) { return (byte | 0x20) >= 'a' && (byte | 0x20) <= 'z'; }

bool IsFinalByte(unsigned char byte) { return byte >= 0x40 && byte <= 0x7E; }

// The number of continuation bytes a UTF-8 lead byte announces, or -1 when the
// byte cannot begin a character.
int ContinuationCount(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 1;
  if (lead >= 0xE0 && lead <= 0xEF) return 2;
  if (lead >= 0xF0 && lead <= 0xF4) return 3;
  return -1;
}

// Whether `byte` may follow the lead byte at position `index` (1, 2 or 3) of a
// character; overlong forms, surrogates and values past U+10FFFF are refused.
bool FitsContinuation(unsigned char lead, size_t index, unsigned char byte) {
  if (index == 1) {
    if (lead == 0xE0) return byte >= 0xA0 && byte <= 0xBF;
    if (lead == 0xED) return byte >= 0x80 && byte <= 0x9F;
    if (lead == 0xF0) return byte >= 0x90 && byte <= 0xBF;
    if (lead == 0xF4) return byte >= 0x80 && byte <= 0x8F;
  }
  return byte >= 0x80 && byte <= 0xBF;
}

// One character typed as UTF-8 is one key: its code page 437 byte, else "?".
DecodedKey DecodeUtf8(std::string_view bytes, bool no_more_bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  const int continuations = ContinuationCount(lead);
  if (continuations < 0) return Key(KeyValue(1, bytes[0]), 1);  // a byte of another set
  const size_t length = static_cast<size_t>(continuations) + 1;
  char32_t code_point = lead & (0x3F >> continuations);
  for (size_t i = 1; i < length; ++i) {
    if (i >= bytes.size()) {
      if (!no_more_bytes) return NeedMore();
      // The character broke off. A lone byte stays what it is (it may come from a
      // terminal of an 8-bit set); a torn character is still one key.
      return i == 1 ? Key(KeyValue(1, bytes[0]), 1) : Key("?", i);
    }
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (!FitsContinuation(lead, i, byte)) {
      return i == 1 ? Key(KeyValue(1, bytes[0]), 1) : Key("?", i);
    }
    code_point = (code_point << 6) | (byte & 0x3F);
  }
  const unsigned char shown = CodePage437Byte(code_point);
  return Key(shown != 0 ? KeyValue(1, static_cast<char>(shown)) : KeyValue("?"), length);
}

// A key that is one byte, or a character in UTF-8; not Esc.
DecodedKey DecodePlain(std::string_view bytes, bool no_more_bytes) {
  const auto byte = static_cast<unsigned char>(bytes[0]);
  if (byte == '\r' || byte == '\n') return Key("\r", 1);
  if (byte == 0x7F || byte == 0x08) return Key("\x08", 1);
  if (byte == 0x00) return ScanKey(kKeyTwo, 1);
  if (byte >= 0x80) return DecodeUtf8(bytes, no_more_bytes);
  return Key(KeyValue(1, bytes[0]), 1);
}

// The first parameter of a sequence: -1 when absent, -2 when it is not a number.
int FirstParameter(std::string_view parameters) {
  const size_t end = parameters.find(';');
  const std::string_view first = parameters.substr(0, end);
  if (first.empty()) return -1;
  int value = 0;
  for (char c : first) {
    if (c < '0' || c > '9' || value > 9999) return -2;
    value = value * 10 + (c - '0');
  }
  return value;
}

// Only digits and ';' (a key number and modifiers); anything else marks a report or
// a private sequence, not a key.
bool AreKeyParameters(std::string_view parameters) {
  for (char c : parameters) {
    if ((c < '0' || c > '9') && c != ';') return false;
  }
  return true;
}

struct NamedKey {
  char name;
  char scan_code;
};

// The keys named by the final byte of a sequence (ESC [ A, ESC O P, ...). rxvt sends
// the lower-case letters for arrows with Shift or Ctrl.
constexpr NamedKey kLetterKeys[] = {
    {'A', kUp},   {'B', kDown},   {'C', kRight},  {'D', kLeft},   {'a', kUp},
    {'b', kDown}, {'c', kRight},  {'d', kLeft},   {'H', kHome},   {'F', kEnd},
    {'P', kF1},   {'Q', kF1 + 1}, {'R', kF1 + 2}, {'S', kF1 + 3},
};

// The keys named by a number (ESC [ 15 ~).
constexpr NamedKey kNumberedKeys[] = {
    {1, kHome},     {2, kInsert},  {3, kDelete},  {4, kEnd},     {5, kPageUp},
    {6, kPageDown}, {7, kHome},    {8, kEnd},     {11, kF1},     {12, kF1 + 1},
    {13, kF1 + 2},  {14, kF1 + 3}, {15, kF1 + 4}, {17, kF1 + 5}, {18, kF1 + 6},
    {19, kF1 + 7},  {20, kF1 + 8}, {21, kF1 + 9}, {23, kF11},    {24, kF12},
};

template <size_t N>
char Lookup(const NamedKey (&keys)[N], int name) {
  for (const NamedKey& key : keys) {
    if (key.name == name) return key.scan_code;
  }
  return 0;
}

// The scan code of a key named by its final byte, or 0.
char LetterFinalKey(char final_byte) { return Lookup(kLetterKeys, final_byte); }

// The scan code of a key named by its number, or 0.
char NumberedKey(int number) { return Lookup(kNumberedKeys, number); }

// ESC [ ..., the usual form of function and cursor keys.
DecodedKey DecodeCsi(std::string_view bytes, bool no_more_bytes) {
  if (bytes.size() > 2 && bytes[2] == '[') {
    // The Linux console's F1-F5: ESC [ [ A..E.
    if (bytes.size() == 3) return no_more_bytes ? UnnamedKey(3) : NeedMore();
    const char final_byte = bytes[3];
    if (final_byte >= 'A' && final_byte <= 'E') return ScanKey(kF1 + (final_byte - 'A'), 4);
    return UnnamedKey(IsFinalByte(static_cast<unsigned char>(final_byte)) ? 4 : 3);
  }
  size_t i = 2;
  while (i < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    // rxvt ends numbered keys with Shift by '$', which is otherwise a middle byte.
    if (IsFinalByte(byte) || byte == '$') break;
    // A byte that cannot stand inside a sequence ends it here; it is a key of its own.
    if (byte < 0x20 || byte > 0x3F) return UnnamedKey(i);
    if (i + 1 >= kLongestSequence) return UnnamedKey(i + 1);
    ++i;
  }
  if (i == bytes.size()) return no_more_bytes ? UnnamedKey(i) : NeedMore();
  const std::string_view parameters = bytes.substr(2, i - 2);
  const char final_byte = bytes[i];
  const size_t consumed = i + 1;
  if (!AreKeyParameters(parameters)) return UnnamedKey(consumed);
  const int first = FirstParameter(parameters);
  // '~' ends a numbered key; rxvt ends it by '$', '^' or '@' when modifiers are held.
  if (final_byte == '~' || final_byte == '$' || final_byte == '^' || final_byte == '@') {
    const char scan_code = NumberedKey(first);
    return scan_code != 0 ? ScanKey(scan_code, consumed) : UnnamedKey(consumed);
  }
  if (final_byte == 'Z' && parameters.empty()) return Key("\t", consumed);  // Shift+Tab
  const char scan_code = LetterFinalKey(final_byte);
  if (scan_code != 0 && (first == -1 || first == 1)) return ScanKey(scan_code, consumed);
  return UnnamedKey(consumed);
}

// ESC O ..., the application-mode form of function and cursor keys. ESC O alone is
// Alt+O.
DecodedKey DecodeSs3(std::string_view bytes, bool no_more_bytes) {
  const DecodedKey alt_o = ScanKey(LetterScanCode('o'), 2);
  size_t i = 2;
  while (i < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (IsFinalByte(byte)) break;
    const bool is_parameter = (byte >= '0' && byte <= '9') || byte == ';';
    if (!is_parameter) return i == 2 ? alt_o : UnnamedKey(i);
    if (i + 1 >= kLongestSequence) return UnnamedKey(i + 1);
    ++i;
  }
  if (i == bytes.size()) {
    if (!no_more_bytes) return NeedMore();
    return i == 2 ? alt_o : UnnamedKey(i);
  }
  const char scan_code = LetterFinalKey(bytes[i]);
  return scan_code != 0 ? ScanKey(scan_code, i + 1) : UnnamedKey(i + 1);
}

DecodedKey DecodeEscape(std::string_view bytes, bool no_more_bytes) {
  if (bytes.size() == 1) return no_more_bytes ? Key("\x1b", 1) : NeedMore();
  const auto next = static_cast<unsigned char>(bytes[1]);
  if (next == kEsc) return Key("\x1b", 1);  // the second Esc starts the next key
  if (next == '[') return DecodeCsi(bytes, no_more_bytes);
  if (next == 'O') return DecodeSs3(bytes, no_more_bytes);
  if (IsLetter(next)) return ScanKey(LetterScanCode(next), 2);  // Alt+letter
  // Esc with any other key (as Alt sends it): that key.
  DecodedKey key = DecodePlain(bytes.substr(1), no_more_bytes);
  if (key.status == DecodedKey::Status::kKey) ++key.consumed;
  return key;
}

}  // namespace

DecodedKey DecodeKey(std::string_view bytes, bool no_more_bytes) {
  if (bytes.empty()) return {};
  if (bytes[0] == kEsc) return DecodeEscape(bytes, no_more_bytes);
  return DecodePlain(bytes, no_more_bytes);
}

}  // namespace zuno
