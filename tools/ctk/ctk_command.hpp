#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

// The command line of ctk, a client of the token host:
//
//   ctk list                                             the published tokens and their keys
//   ctk sign --key KEY --algorithm ALG --digest HEX      the signature, in lower-case hex
//
// Every failure prints one line on standard error and ends with its own status.
namespace corvanta::ctk {

inline constexpr int exitSuccess = 0;
// The token refused: its code and, where it gave one, its text are on standard error.
inline constexpr int exitTokenError = 1;
inline constexpr int exitUsage = 2;
// Not hexadecimal, or more bytes than any digest has.
inline constexpr int exitInvalidDigest = 3;
// No host listens, or the directory of its socket cannot be trusted.
inline constexpr int exitHostUnreachable = 4;
// The host ended the connection before it answered, or answered outside the protocol.
inline constexpr int exitConnectionFailed = 5;
// The result could not be written to standard output.
inline constexpr int exitOutputFailed = 6;

// Runs the command of `arguments` (without the program's name). `hostSocketPath` is asked only
// once the arguments are known to be good; it may throw the runtime directory's error.
int runCtk(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
           const std::function<std::string()>& hostSocketPath);

}  // namespace corvanta::ctk
