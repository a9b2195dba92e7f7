// What the three classroom peers share: arguments, the event log, the command script and
// pipe I/O helpers. Each peer is a console program; see peers/README.md.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace peer {

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);
std::string Hex(const void* data, size_t size);
// Hex digits with optional spaces; false on an odd count or a stray character.
bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes);
// "a.b.c.d" -> the address with the first octet in the lowest byte (network order in memory).
bool ParseIpv4(const std::string& text, uint32_t* address);
std::string FormatIpv4(uint32_t address);
// Decimal, or hexadecimal with 0x; a leading '-' is allowed.
bool ParseInt(const std::string& text, int64_t* value);

// One line per event, to stdout and (with --log) to a file, flushed at once so that a test
// can watch the file while the peer runs. Lines are UTF-8.
class Log {
 public:
  bool Open(const std::wstring& path);
  void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  std::mutex mutex_;
  FILE* file_ = nullptr;
};

extern Log g_log;

// The common options: --log FILE, --script FILE, --run "cmd; cmd", --stdin (after the script, further
// commands from standard input, one per line, until it ends). Peer-specific options are
// handed to `option` (name, value) and must return false when unknown or bad.
struct Options {
  std::vector<std::string> commands;
  bool fromStdin = false;
  // Nothing to run: the peer just serves until it is killed.
  bool Idle() const { return commands.empty() && !fromStdin; }
};
using OptionHandler = std::function<bool(const std::string& name, const std::string& value)>;
// Options all take one value ("--name value"); `flags` lists the ones that take none.
bool ParseCommandLine(Options* options, const std::vector<std::string>& flags, const OptionHandler& option);

// A command split into words; double quotes group words, \" and \\ escape inside quotes.
std::vector<std::string> SplitWords(const std::string& line);

// Runs the script: `handler` gets each command's words and returns false on failure, which
// ends the script. Built in: sleep MS, log TEXT..., serve [MS], quit. Returns the exit code:
// 0 when the script ran to its end or quit, 3 when a command failed. With --stdin the commands of
// standard input follow; each of those answers `OK <command>` or `FAIL <command>` and a failure does
// not end the run, so that a driver can talk to the peer one command at a time.
using CommandHandler = std::function<bool(const std::vector<std::string>& words)>;
int RunScript(const std::vector<std::string>& commands, const CommandHandler& handler);

// Polls `done` every 10 ms until it holds or `timeoutMs` passed.
bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs);

// Overlapped write of every byte, at most timeoutMs; a timed-out write is cancelled.
bool WriteAll(HANDLE pipe, const void* data, DWORD size, DWORD timeoutMs = 5000);

// Converts between UTF-16 and the OEM code page, as the classroom programs hand text.
std::string ToOem(const std::wstring& text);

}  // namespace peer
