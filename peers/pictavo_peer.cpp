// Capture-product peer: the server end of "\\.\pipe\Corvane_PictavoPipe". Accepts several
// stations at once, answers the station-address request, sends scripted frames and logs
// every frame it receives. Command line and log format: peers/README.md.
#include <windows.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "peers/PeerCommon.h"

using namespace peer;

namespace {

constexpr uint32_t kTypeText = 1;
constexpr uint32_t kTypeAudio = 2;
constexpr uint32_t kTypeStationAddress = 52;
constexpr uint32_t kTypeHello = 54;
constexpr uint32_t kTypeForward = 55;
constexpr uint32_t kTypeMixerValues = 1001;
constexpr uint32_t kTypeMixerQuery = 1081;
// Far above any frame a station sends; beyond it the peer gives the connection up.
constexpr uint32_t kMaxFrame = 64u * 1024 * 1024;
constexpr DWORD kDefaultTimeout = 10000;
constexpr size_t kLoggedBytes = 96;

struct Connection {
  int index = 0;
  HANDLE pipe = nullptr;
  HANDLE thread = nullptr;
  std::mutex writeLock;  // whole frames, from the script and the automatic reply
  std::atomic<bool> open{true};
  std::atomic<bool> reading{true};
  std::atomic<bool> ended{false};
  std::atomic<uint32_t> address{0};
};

std::wstring g_pipeName = L"\\\\.\\pipe\\Corvane_PictavoPipe";
DWORD g_instances = 2;
std::vector<uint32_t> g_addresses;
bool g_autoAddress = true;
std::wstring g_dumpDir;
std::atomic<bool> g_listening{true};
std::atomic<int> g_accepted{0};
std::atomic<int> g_frameSeq{0};
HANDLE g_ready = nullptr;

std::mutex g_lock;  // the tables below
std::vector<std::shared_ptr<Connection>> g_connections;
std::map<std::pair<int, uint32_t>, int> g_frameCounts;

std::shared_ptr<Connection> Find(int index) {
  std::lock_guard<std::mutex> hold(g_lock);
  for (auto& c : g_connections)
    if (c->index == index) return c;
  return nullptr;
}

int FrameCount(int conn, uint32_t type) {
  std::lock_guard<std::mutex> hold(g_lock);
  int total = 0;
  for (auto& [key, count] : g_frameCounts)
    if ((conn < 0 || key.first == conn) && key.second == type) total += count;
  return total;
}

bool WriteFrame(Connection& c, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> hold(c.writeLock);
  if (!c.open) return false;
  return WriteAll(c.pipe, bytes.data(), DWORD(bytes.size()));
}

void PutU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(uint8_t(v >> (8 * i)));
}

uint32_t GetU32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

std::vector<uint8_t> MakeFrame(uint32_t type, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame;
  PutU32(&frame, uint32_t(payload.size() + 4));
  PutU32(&frame, type);
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

// Reads exactly `size` bytes; gives up when the connection ends or is dropped. While reading
// is stopped nothing is taken from the pipe, so the station's writes back up.
bool ReadExact(Connection& c, HANDLE event, uint8_t* buffer, size_t size) {
  size_t have = 0;
  while (have < size) {
    if (!c.open) return false;
    if (!c.reading) {
      Sleep(10);
      continue;
    }
    OVERLAPPED ov{};
    ov.hEvent = event;
    const DWORD want = DWORD(std::min<size_t>(size - have, 1u << 20));
    if (!ReadFile(c.pipe, buffer + have, want, nullptr, &ov)) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return false;
    }
    while (WaitForSingleObject(event, 20) == WAIT_TIMEOUT) {
      if (!c.reading || !c.open) {
        CancelIo(c.pipe);
        break;
      }
    }
    DWORD got = 0;
    if (!GetOverlappedResult(c.pipe, &ov, &got, TRUE)) {
      const DWORD error = GetLastError();
      if (error == ERROR_OPERATION_ABORTED) continue;
      if (error != ERROR_MORE_DATA) return false;
    }
    have += got;
  }
  return true;
}

void LogFrame(const Connection& c, const std::vector<uint8_t>& frame) {
  const uint32_t length = GetU32(frame.data());
  const int seq = g_frameSeq++;
  std::string data = Hex(frame.data(), std::min(frame.size(), kLoggedBytes));
  if (frame.size() > kLoggedBytes) data += "...";
  if (length < 4) {
    g_log.Line("FRAME conn=%d seq=%d length=%u type=none data=%s", c.index, seq, length, data.c_str());
  } else {
    g_log.Line("FRAME conn=%d seq=%d length=%u type=%u data=%s", c.index, seq, length, GetU32(&frame[4]),
               data.c_str());
  }
  if (!g_dumpDir.empty()) {
    wchar_t path[MAX_PATH];
    swprintf(path, MAX_PATH, L"%ls\\frame-%05d-conn%d.bin", g_dumpDir.c_str(), seq, c.index);
    if (FILE* f = _wfopen(path, L"wb")) {
      fwrite(frame.data(), 1, frame.size(), f);
      fclose(f);
    }
  }
  if (length < 4) return;
  const uint32_t type = GetU32(&frame[4]);
  const uint8_t* payload = frame.data() + 8;
  const size_t payloadSize = length - 4;
  if (type == kTypeHello && payloadSize >= 8) {
    std::string name;
    for (size_t i = 8; i < payloadSize && payload[i]; ++i) name.push_back(char(payload[i]));
    g_log.Line("HELLO conn=%d name=%s", c.index, name.c_str());
  } else if (type == kTypeStationAddress && payloadSize == 0) {
    g_log.Line("ADDRESS-REQUEST conn=%d", c.index);
  } else if (type == kTypeMixerQuery) {
    g_log.Line("MIXER-QUERY conn=%d", c.index);
  } else if (type == kTypeForward && payloadSize >= 46) {
    const uint8_t* inner = payload + 22;
    const uint32_t bytes = GetU32(inner + 16), count = GetU32(inner + 20);
    std::string recipients;
    for (uint32_t i = 0; i < count && 46 + 8 * size_t(i + 1) <= payloadSize; ++i) {
      const uint8_t* r = inner + 24 + 8 * i;
      recipients += (i ? "," : "") + std::to_string(GetU32(r)) + ":" + FormatIpv4(GetU32(r + 4));
    }
    // FNV-1a over the PCM, so a test can compare what was streamed without a dump.
    uint32_t hash = 2166136261u;
    const size_t pcmAt = 46 + 8 * size_t(count);
    for (size_t i = pcmAt; i < payloadSize && i < pcmAt + bytes; ++i) hash = (hash ^ payload[i]) * 16777619u;
    g_log.Line(
        "FORWARD conn=%d inner-length=%u inner-type=%u chunk=%u offset=%u bytes=%u recipients=%s "
        "pcm-fnv=%08x",
        c.index, GetU32(inner), GetU32(inner + 4), GetU32(inner + 8), GetU32(inner + 12), bytes,
        recipients.empty() ? "-" : recipients.c_str(), hash);
  }
}

DWORD WINAPI ReaderProc(LPVOID param) {
  auto* c = static_cast<Connection*>(param);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::vector<uint8_t> frame;
  for (;;) {
    uint8_t head[4];
    if (!ReadExact(*c, event, head, 4)) break;
    const uint32_t length = GetU32(head);
    if (length > kMaxFrame) {
      g_log.Line("BADLENGTH conn=%d length=%u", c->index, length);
      break;
    }
    frame.assign(head, head + 4);
    frame.resize(4 + size_t(length));
    if (length && !ReadExact(*c, event, frame.data() + 4, length)) break;
    LogFrame(*c, frame);
    const uint32_t type = length >= 4 ? GetU32(&frame[4]) : 0xFFFFFFFFu;
    if (length >= 4) {
      std::lock_guard<std::mutex> hold(g_lock);
      ++g_frameCounts[{c->index, type}];
    }
    if (type == kTypeStationAddress && length == 4 && g_autoAddress) {
      std::vector<uint8_t> payload;
      PutU32(&payload, c->address);
      if (WriteFrame(*c, MakeFrame(kTypeStationAddress, payload)))
        g_log.Line("ADDRESS-SENT conn=%d address=%s", c->index, FormatIpv4(c->address).c_str());
    }
  }
  {
    std::lock_guard<std::mutex> hold(c->writeLock);
    c->open = false;
    DisconnectNamedPipe(c->pipe);
    CloseHandle(c->pipe);
  }
  CloseHandle(event);
  g_log.Line("DISCONNECT conn=%d", c->index);
  c->ended = true;
  return 0;
}

void Accept(HANDLE pipe) {
  auto c = std::make_shared<Connection>();
  c->index = g_accepted.load();
  c->pipe = pipe;
  const size_t n = g_addresses.size();
  c->address = n == 0 ? 0x0100000Au : g_addresses[std::min<size_t>(size_t(c->index), n - 1)];
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_connections.push_back(c);
  }
  g_log.Line("CONNECT conn=%d", c->index);
  ++g_accepted;
  c->thread = CreateThread(nullptr, 0, ReaderProc, c.get(), 0, nullptr);
}

DWORD WINAPI ListenerProc(LPVOID) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (;;) {
    if (!g_listening) {
      Sleep(10);
      continue;
    }
    HANDLE pipe = CreateNamedPipeW(g_pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, g_instances, 65536, 65536,
                                   0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      Sleep(20);  // every instance is taken
      continue;
    }
    SetEvent(g_ready);
    OVERLAPPED ov{};
    ov.hEvent = event;
    ResetEvent(event);
    bool connected = ConnectNamedPipe(pipe, &ov) != FALSE;
    if (!connected) {
      const DWORD error = GetLastError();
      if (error == ERROR_PIPE_CONNECTED) {
        connected = true;
      } else if (error == ERROR_IO_PENDING) {
        bool cancelled = false;
        while (WaitForSingleObject(event, 20) == WAIT_TIMEOUT) {
          if (!g_listening) {
            CancelIo(pipe);
            cancelled = true;
            break;
          }
        }
        DWORD unused;
        connected = GetOverlappedResult(pipe, &ov, &unused, TRUE) && !cancelled;
      }
    }
    if (connected)
      Accept(pipe);
    else
      CloseHandle(pipe);
  }
}

bool ConnArg(const std::string& word, int* index) {
  int64_t v;
  if (!ParseInt(word, &v) || v < 0) return false;
  *index = int(v);
  return true;
}

DWORD TimeoutArg(const std::vector<std::string>& w, size_t at) {
  int64_t v;
  return w.size() > at && ParseInt(w[at], &v) && v >= 0 ? DWORD(v) : kDefaultTimeout;
}

// The connection a send command names; logged as a failure when it is not open.
std::shared_ptr<Connection> Open(const std::vector<std::string>& w) {
  int index;
  if (w.size() < 2 || !ConnArg(w[1], &index)) return nullptr;
  auto c = Find(index);
  return c && c->open ? c : nullptr;
}

bool Pcm(const std::string& source, std::vector<uint8_t>* out) {
  out->clear();
  int64_t n;
  if (source.rfind("ramp:", 0) == 0 && ParseInt(source.substr(5), &n) && n >= 0) {
    for (int64_t i = 0; i < n; ++i) {
      const uint16_t v = uint16_t(i * 100);
      out->push_back(uint8_t(v));
      out->push_back(uint8_t(v >> 8));
    }
    return true;
  }
  if (source.rfind("zero:", 0) == 0 && ParseInt(source.substr(5), &n) && n >= 0) {
    out->assign(size_t(n) * 2, 0);
    return true;
  }
  if (source.rfind("file:", 0) == 0) {
    FILE* f = _wfopen(FromUtf8(source.substr(5)).c_str(), L"rb");
    if (!f) return false;
    uint8_t buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0) out->insert(out->end(), buffer, buffer + got);
    fclose(f);
    return true;
  }
  return false;
}

bool Command(const std::vector<std::string>& w) {
  const std::string& verb = w[0];
  int64_t a = 0, b = 0;
  if (verb == "wait-connect") {
    if (w.size() < 2 || !ParseInt(w[1], &a)) return false;
    return WaitFor([&] { return g_accepted >= a; }, TimeoutArg(w, 2));
  }
  if (verb == "wait-frame") {
    int conn = -1;
    if (w.size() < 3 || (w[1] != "*" && !ConnArg(w[1], &conn)) || !ParseInt(w[2], &a)) return false;
    if (w.size() > 3 && !ParseInt(w[3], &b)) return false;
    const int64_t count = w.size() > 3 ? b : 1;
    return WaitFor([&] { return FrameCount(conn, uint32_t(a)) >= count; }, TimeoutArg(w, 4));
  }
  if (verb == "wait-disconnect") {
    int conn;
    if (w.size() < 2 || !ConnArg(w[1], &conn)) return false;
    return WaitFor(
        [&] {
          auto c = Find(conn);
          return c && c->ended;
        },
        TimeoutArg(w, 2));
  }
  if (verb == "unlisten" || verb == "listen") {
    g_listening = verb == "listen";
    g_log.Line("%s", verb == "listen" ? "LISTEN" : "UNLISTEN");
    return true;
  }
  if (verb == "set-address") {
    int conn;
    uint32_t address;
    if (w.size() != 3 || !ConnArg(w[1], &conn) || !ParseIpv4(w[2], &address)) return false;
    auto c = Find(conn);
    if (!c) return false;
    c->address = address;
    return true;
  }
  auto c = Open(w);
  if (!c) return false;
  if (verb == "drop") {
    c->open = false;
    WaitForSingleObject(c->thread, INFINITE);
    g_log.Line("DROP conn=%d", c->index);
    return true;
  }
  if (verb == "stop-reading" || verb == "resume-reading") {
    c->reading = verb == "resume-reading";
    return true;
  }
  if (verb == "send-raw") {
    std::string hex;
    for (size_t i = 2; i < w.size(); ++i) hex += w[i];
    std::vector<uint8_t> bytes;
    return ParseHex(hex, &bytes) && WriteFrame(*c, bytes);
  }
  if (verb == "send-empty") return WriteFrame(*c, {});
  if (verb == "send-fill") {
    if (w.size() < 3 || !ParseInt(w[2], &a) || a < 0) return false;
    int64_t value = -1;
    if (w.size() > 3 && !ParseInt(w[3], &value)) return false;
    std::vector<uint8_t> bytes(static_cast<size_t>(a));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(value < 0 ? i : size_t(value));
    return WriteFrame(*c, bytes);
  }
  if (verb == "send-frame") {
    if (w.size() < 3 || !ParseInt(w[2], &a)) return false;
    std::string hex;
    for (size_t i = 3; i < w.size(); ++i) hex += w[i];
    std::vector<uint8_t> payload;
    return ParseHex(hex, &payload) && WriteFrame(*c, MakeFrame(uint32_t(a), payload));
  }
  if (verb == "send-text") {
    if (w.size() != 3) return false;
    std::wstring text = FromUtf8(w[2]);
    std::vector<uint8_t> payload;
    for (wchar_t ch : text) {
      payload.push_back(uint8_t(ch));
      payload.push_back(uint8_t(ch >> 8));
    }
    payload.push_back(0);
    payload.push_back(0);
    return WriteFrame(*c, MakeFrame(kTypeText, payload));
  }
  if (verb == "send-address") {
    uint32_t address;
    if (w.size() != 3 || !ParseIpv4(w[2], &address)) return false;
    std::vector<uint8_t> payload;
    PutU32(&payload, address);
    return WriteFrame(*c, MakeFrame(kTypeStationAddress, payload));
  }
  if (verb == "send-mixer") {
    if (w.size() != 4 || !ParseInt(w[2], &a) || !ParseInt(w[3], &b)) return false;
    std::vector<uint8_t> payload;
    PutU32(&payload, uint32_t(a));
    PutU32(&payload, uint32_t(b));
    return WriteFrame(*c, MakeFrame(kTypeMixerValues, payload));
  }
  if (verb == "send-audio") {
    // send-audio CONN CHUNK OFFSET PCM [STATION:ADDRESS ...]
    std::vector<uint8_t> pcm;
    if (w.size() < 5 || !ParseInt(w[2], &a) || !ParseInt(w[3], &b) || !Pcm(w[4], &pcm)) return false;
    std::vector<uint8_t> payload;
    PutU32(&payload, uint32_t(a));
    PutU32(&payload, uint32_t(b));
    PutU32(&payload, uint32_t(pcm.size()));
    PutU32(&payload, uint32_t(w.size() - 5));
    for (size_t i = 5; i < w.size(); ++i) {
      const size_t colon = w[i].find(':');
      int64_t station;
      uint32_t address;
      if (colon == std::string::npos || !ParseInt(w[i].substr(0, colon), &station) ||
          !ParseIpv4(w[i].substr(colon + 1), &address))
        return false;
      PutU32(&payload, uint32_t(station));
      PutU32(&payload, address);
    }
    payload.insert(payload.end(), pcm.begin(), pcm.end());
    return WriteFrame(*c, MakeFrame(kTypeAudio, payload));
  }
  return false;
}

}  // namespace

int main() {
  Options options;
  const bool ok = ParseCommandLine(&options, {"--no-auto-address"},
                                   [](const std::string& name, const std::string& value) {
                                     int64_t n;
                                     if (name == "--no-auto-address") {
                                       g_autoAddress = false;
                                     } else if (name == "--pipe") {
                                       g_pipeName = FromUtf8(value);
                                     } else if (name == "--instances") {
                                       if (!ParseInt(value, &n) || n < 1 || n > PIPE_UNLIMITED_INSTANCES)
                                         return false;
                                       g_instances = DWORD(n);
                                     } else if (name == "--address") {
                                       size_t start = 0;
                                       for (;;) {
                                         const size_t comma = value.find(',', start);
                                         uint32_t address;
                                         if (!ParseIpv4(value.substr(start, comma - start), &address))
                                           return false;
                                         g_addresses.push_back(address);
                                         if (comma == std::string::npos) break;
                                         start = comma + 1;
                                       }
                                     } else if (name == "--dump") {
                                       g_dumpDir = FromUtf8(value);
                                       CreateDirectoryW(g_dumpDir.c_str(), nullptr);
                                     } else {
                                       return false;
                                     }
                                     return true;
                                   });
  if (!ok) {
    fprintf(
        stderr,
        "usage: pictavo_peer [--pipe NAME] [--instances N] [--address A.B.C.D[,...]] [--no-auto-address]\n"
        "                    [--dump DIR] [--log FILE] [--script FILE] [--run \"cmd; cmd\"]\n");
    return 2;
  }
  g_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CreateThread(nullptr, 0, ListenerProc, nullptr, 0, nullptr);
  WaitForSingleObject(g_ready, INFINITE);
  g_log.Line("READY pipe=%s", ToUtf8(g_pipeName).c_str());
  if (options.Idle()) Sleep(INFINITE);
  const int code = RunScript(options.commands, Command);
  ExitProcess(UINT(code));
}
