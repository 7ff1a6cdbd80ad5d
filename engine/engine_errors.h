#pragma once

#include <cstdint>

namespace zuno {

// The engine's failure codes: one per kind of failure, stable from release to
// release, all negative and small enough for the 16 bits that callers keep.
enum EngineError : int32_t {
  kEngineNotAttached = -1,
  kEngineBadChannel = -2,
  kEngineBadHostText = -3,
  kEngineHostNotFound = -4,
  kEngineCannotConnect = -5,
  kEngineLoginRefused = -6,
  kEngineTimeout = -7,
  kEngineConnectionLost = -8,
  kEngineNoServerDirectory = -9,
  kEngineServerRefused = -10,
  kEngineLocalDirectoryMissing = -11,
  kEngineLocalWriteFailed = -12,
  kEngineLocalReadFailed = -13,
  kEngineTransferIncomplete = -14,
  kEngineBadName = -15,
  kEngineNotConnected = -16,
  kEngineUnknownParameter = -17,
  kEngineBadMode = -18,
  kEngineUnsupportedListKind = -19,
  kEngineExistenceUnknown = -20,
  kEngineLocalFileMissing = -21,
  kEngineNotAFile = -22,
  kEngineBadTransferText = -23,
  kEngineBadArgument = -24,
  kEngineBadDirectoryText = -25,
  kEngineBadReply = -26,
  kEngineStartFailed = -27,
  kEngineServerFileMissing = -28,
  kEngineStalled = -29,
  kEngineCertificateRefused = -30,
  kEngineHostKeyRefused = -31,
  kEngineTlsNotOffered = -32,
  kEngineSecureChannelFailed = -33,
  kEngineInterrupted = -34,
  kEngineTooLarge = -35,
  kEngineServerChanged = -36,
};

// The last code of all, for tests that walk through every one.
inline constexpr int32_t kEngineLastError = kEngineServerChanged;

// What a code means, as one sentence for the user without the details of the
// particular failure; null for a number that is not one of the codes.
const char* EngineErrorMeaning(int32_t code);

}  // namespace zuno
