#include "engine/engine_errors.h"

namespace zuno {

const char* EngineErrorMeaning(int32_t code) {
  switch (code) {
    case kEngineNotAttached:
      return "The FTP engine is not attached";
    case kEngineBadChannel:
      return "No such FTP channel (only channel 0 exists)";
    case kEngineBadHostText:
      return "Bad server host";
    case kEngineHostNotFound:
      return "The server's host name was not found";
    case kEngineCannotConnect:
      return "Cannot connect to the server";
    case kEngineLoginRefused:
      return "The server refused the login";
    case kEngineTimeout:
      return "The server did not answer in time";
    case kEngineConnectionLost:
      return "The connection to the server was lost";
    case kEngineNoServerDirectory:
      return "No such server directory";
    case kEngineServerRefused:
      return "The server refused the command";
    case kEngineLocalDirectoryMissing:
      return "No such local directory";
    case kEngineLocalWriteFailed:
      return "Cannot write the local file";
    case kEngineLocalReadFailed:
      return "Cannot read the local file";
    case kEngineTransferIncomplete:
      return "The transfer was incomplete";
    case kEngineBadName:
      return "Bad server file name";
    case kEngineNotConnected:
      return "Not connected to the server";
    case kEngineUnknownParameter:
      return "Unknown engine parameter";
    case kEngineBadMode:
      return "Unknown transfer mode (66 \"B\" binary, 65 \"A\" ASCII)";
    case kEngineUnsupportedListKind:
      return "Unsupported list kind (3, the file check, is supported)";
    case kEngineExistenceUnknown:
      return "Cannot tell whether the file is on the server";
    case kEngineLocalFileMissing:
      return "No such local file";
    case kEngineNotAFile:
      return "The name on the server is not a plain file";
    case kEngineBadTransferText:
      return "Bad transfer text (use ServerName:LocalName)";
    case kEngineBadArgument:
      return "Bad argument";
    case kEngineBadDirectoryText:
      return "Bad server directory text";
    case kEngineBadReply:
      return "The server sent a reply that makes no sense";
    case kEngineStartFailed:
      return "The FTP engine cannot start its network library";
    case kEngineServerFileMissing:
      return "No such file on the server";
    case kEngineStalled:
      return "The data transfer stalled";
    case kEngineCertificateRefused:
      return "Server certificate refused";
    case kEngineHostKeyRefused:
      return "Server host key refused";
    case kEngineTlsNotOffered:
      return "The server does not offer TLS";
    case kEngineSecureChannelFailed:
      return "The secure connection failed";
    case kEngineInterrupted:
      return "Stopped at a key press";
    case kEngineTooLarge:
      return "The server sends more than any bookmark file holds";
    case kEngineServerChanged:
      return "The server file changed during the transfer";
    default:
      return nullptr;
  }
}

}  // namespace zuno
