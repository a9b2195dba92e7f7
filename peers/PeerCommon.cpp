#include "peers/PeerCommon.h"

#include <shellapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace peer {

Log g_log;
bool g_fromStdin = false;  // set by --stdin

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring out(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
  return out;
}

std::string ToOem(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_OEMCP, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_OEMCP, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string Hex(const void* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 15]);
  }
  return out;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
  bytes->clear();
  int high = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else if (c == ' ' || c == '\t')
      continue;
    else
      return false;
    if (high < 0) {
      high = v;
    } else {
      bytes->push_back(uint8_t(high << 4 | v));
      high = -1;
    }
  }
  return high < 0;
}

bool ParseIpv4(const std::string& text, uint32_t* address) {
  unsigned a, b, c, d;
  char tail;
  if (sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4) return false;
  if (a > 255 || b > 255 || c > 255 || d > 255) return false;
  *address = a | b << 8 | c << 16 | d << 24;
  return true;
}

std::string FormatIpv4(uint32_t address) {
  char text[16];
  snprintf(text, sizeof text, "%u.%u.%u.%u", address & 255, address >> 8 & 255, address >> 16 & 255,
           address >> 24);
  return text;
}

bool ParseInt(const std::string& text, int64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = strtoll(text.c_str(), &end, 0);
  if (errno || *end) return false;
  *value = v;
  return true;
}

bool Log::Open(const std::wstring& path) {
  std::lock_guard<std::mutex> hold(mutex_);
  file_ = _wfopen(path.c_str(), L"wb");
  return file_ != nullptr;
}

void Log::Line(const char* format, ...) {
  char stackBuffer[1024];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(stackBuffer, sizeof stackBuffer, format, args);
  va_end(args);
  std::string line;
  if (n >= int(sizeof stackBuffer)) {
    line.resize(size_t(n) + 1);
    va_start(args, format);
    vsnprintf(line.data(), line.size(), format, args);
    va_end(args);
    line.resize(size_t(n));
  } else if (n > 0) {
    line.assign(stackBuffer, size_t(n));
  }
  line.push_back('\n');
  std::lock_guard<std::mutex> hold(mutex_);
  fwrite(line.data(), 1, line.size(), stdout);
  fflush(stdout);
  if (file_) {
    fwrite(line.data(), 1, line.size(), file_);
    fflush(file_);
  }
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
        word.push_back(line[++i]);
      } else if (c == '"') {
        quoted = false;
      } else {
        word.push_back(c);
      }
    } else if (c == '"') {
      quoted = inWord = true;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word.push_back(c);
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

namespace {

// Splits "a; b; c" at semicolons outside double quotes.
void SplitCommands(const std::string& text, std::vector<std::string>* out) {
  std::string current;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted && c == '\\' && i + 1 < text.size()) {
      current.push_back(c);
      current.push_back(text[++i]);
      continue;
    }
    if (c == '"') quoted = !quoted;
    if (c == ';' && !quoted) {
      out->push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  out->push_back(current);
}

bool LoadScript(const std::wstring& path, std::vector<std::string>* out) {
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (!file) return false;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  fclose(file);
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) out->push_back(line);
  return true;
}

}  // namespace

bool ParseCommandLine(Options* options, const std::vector<std::string>& flags, const OptionHandler& option) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return false;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(ToUtf8(argv[i]));
  LocalFree(argv);
  std::vector<std::string> raw;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name == "--stdin") {
      options->fromStdin = g_fromStdin = true;
      continue;
    }
    bool isFlag = false;
    for (const auto& f : flags) isFlag = isFlag || f == name;
    if (isFlag) {
      if (!option(name, "")) return false;
      continue;
    }
    if (i + 1 >= args.size()) {
      fprintf(stderr, "missing value for %s\n", name.c_str());
      return false;
    }
    const std::string& value = args[++i];
    if (name == "--log") {
      if (!g_log.Open(FromUtf8(value))) {
        fprintf(stderr, "cannot create log %s\n", value.c_str());
        return false;
      }
    } else if (name == "--script") {
      if (!LoadScript(FromUtf8(value), &raw)) {
        fprintf(stderr, "cannot read script %s\n", value.c_str());
        return false;
      }
    } else if (name == "--run") {
      SplitCommands(value, &raw);
    } else if (!option(name, value)) {
      fprintf(stderr, "bad option %s %s\n", name.c_str(), value.c_str());
      return false;
    }
  }
  for (auto& line : raw) {
    const size_t first = line.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || line[first] == '#') continue;
    options->commands.push_back(line.substr(first));
  }
  return true;
}

namespace {

enum class Step { kNext, kQuit, kFailed };

Step RunCommand(const std::string& command, const CommandHandler& handler) {
  const auto words = SplitWords(command);
  if (words.empty()) return Step::kNext;
  const std::string& verb = words[0];
  int64_t n = 0;
  if (verb == "quit") {
    g_log.Line("QUIT");
    return Step::kQuit;
  }
  if (verb == "sleep" && words.size() == 2 && ParseInt(words[1], &n) && n >= 0) {
    Sleep(DWORD(n));
    return Step::kNext;
  }
  if (verb == "serve") {
    if (words.size() == 2 && ParseInt(words[1], &n) && n >= 0)
      Sleep(DWORD(n));
    else
      Sleep(INFINITE);
    return Step::kNext;
  }
  if (verb == "log") {
    std::string text;
    for (size_t i = 1; i < words.size(); ++i) text += (i > 1 ? " " : "") + words[i];
    g_log.Line("LOG %s", text.c_str());
    return Step::kNext;
  }
  if (!handler(words)) {
    g_log.Line("FAIL %s", command.c_str());
    return Step::kFailed;
  }
  return Step::kNext;
}

}  // namespace

int RunScript(const std::vector<std::string>& commands, const CommandHandler& handler) {
  for (const auto& command : commands) {
    const Step step = RunCommand(command, handler);
    if (step == Step::kQuit) return 0;
    if (step == Step::kFailed) return 3;
  }
  if (g_fromStdin) {
    char buffer[8192];
    while (fgets(buffer, sizeof buffer, stdin)) {
      std::string line(buffer);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      const size_t first = line.find_first_not_of(" \t");
      if (first == std::string::npos || line[first] == '#') continue;
      line = line.substr(first);
      const Step step = RunCommand(line, handler);
      if (step == Step::kQuit) return 0;
      if (step == Step::kNext) g_log.Line("OK %s", line.c_str());
    }
  }
  g_log.Line("DONE");
  return 0;
}

bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(10);
  }
}

bool WriteAll(HANDLE pipe, const void* data, DWORD size, DWORD timeoutMs) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!event) return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  const DWORD start = GetTickCount();
  DWORD written = 0;
  bool ok = true;
  do {
    OVERLAPPED ov{};
    ov.hEvent = event;
    if (!WriteFile(pipe, bytes + written, size - written, nullptr, &ov) &&
        GetLastError() != ERROR_IO_PENDING) {
      ok = false;
      break;
    }
    const DWORD elapsed = GetTickCount() - start;
    DWORD done = 0;
    if (WaitForSingleObject(event, elapsed < timeoutMs ? timeoutMs - elapsed : 0) != WAIT_OBJECT_0) {
      CancelIo(pipe);
      GetOverlappedResult(pipe, &ov, &done, TRUE);
      ok = false;
      break;
    }
    if (!GetOverlappedResult(pipe, &ov, &done, FALSE) || (done == 0 && written < size)) {
      ok = false;
      break;
    }
    written += done;
  } while (written < size);
  CloseHandle(event);
  return ok;
}

}  // namespace peer
