// Sibling-product peer: creates "ZUBRA_USB_SHAREDMEM" and writes a station's text slot under
// the named mutex "GP_MYRECORDMUTEX", taken the way the recorder takes it (the mutex exists
// only while its creator holds it). Command line and log format: peers/README.md.
#include <windows.h>

#include <string>
#include <vector>

#include "peers/PeerCommon.h"

using namespace peer;

namespace {

constexpr DWORD kViewSize = 2069;
constexpr DWORD kHeaderSize = 67;
constexpr DWORD kSlotSize = 1001;
constexpr DWORD kDefaultTimeout = 10000;

std::wstring g_memName = L"ZUBRA_USB_SHAREDMEM";
std::wstring g_mutexName = L"GP_MYRECORDMUTEX";
uint8_t* g_view = nullptr;

// Stations 0 and 1 share the first slot; station 2 has the second.
bool SlotOffset(const std::string& station, DWORD* offset) {
  int64_t n;
  if (!ParseInt(station, &n) || n < 0 || n > 2) return false;
  *offset = n == 2 ? kHeaderSize + kSlotSize : kHeaderSize;
  return true;
}

HANDLE TakeMutex() {
  for (;;) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, g_mutexName.c_str());
    const DWORD error = GetLastError();
    if (mutex && error != ERROR_ALREADY_EXISTS) return mutex;
    if (mutex) CloseHandle(mutex);
    Sleep(1);
  }
}

std::string SlotText(DWORD offset) {
  std::string text;
  for (DWORD i = 0; i < kSlotSize && g_view[offset + i]; ++i) text.push_back(char(g_view[offset + i]));
  return text;
}

DWORD TimeoutArg(const std::vector<std::string>& w, size_t at) {
  int64_t v;
  return w.size() > at && ParseInt(w[at], &v) && v >= 0 ? DWORD(v) : kDefaultTimeout;
}

bool Command(const std::vector<std::string>& w) {
  const std::string& verb = w[0];
  DWORD offset = 0;
  if (verb == "hold-mutex") {
    int64_t ms;
    if (w.size() != 2 || !ParseInt(w[1], &ms) || ms < 0) return false;
    HANDLE mutex = TakeMutex();
    g_log.Line("MUTEX taken");
    Sleep(DWORD(ms));
    CloseHandle(mutex);
    g_log.Line("MUTEX released");
    return true;
  }
  if (w.size() < 2 || !SlotOffset(w[1], &offset)) return false;
  if (verb == "write") {
    // write STATION TEXT: the text in the OEM code page with its NUL, the rest of the slot zero.
    if (w.size() != 3) return false;
    const std::string oem = ToOem(FromUtf8(w[2]));
    if (oem.size() >= kSlotSize) return false;
    HANDLE mutex = TakeMutex();
    memset(g_view + offset, 0, kSlotSize);
    memcpy(g_view + offset, oem.data(), oem.size());
    CloseHandle(mutex);
    g_log.Line("WRITE station=%s offset=%lu oem=%s", w[1].c_str(), (unsigned long)offset,
               Hex(oem.data(), oem.size()).c_str());
    return true;
  }
  if (verb == "read") {
    HANDLE mutex = TakeMutex();
    const std::string text = SlotText(offset);
    CloseHandle(mutex);
    g_log.Line("SLOT station=%s offset=%lu oem=%s", w[1].c_str(), (unsigned long)offset,
               Hex(text.data(), text.size()).c_str());
    return true;
  }
  if (verb == "wait-cleared") {
    const bool ok = WaitFor(
        [&] {
          for (DWORD i = 0; i < kSlotSize; ++i)
            if (g_view[offset + i]) return false;
          return true;
        },
        TimeoutArg(w, 2));
    if (ok) g_log.Line("CLEARED station=%s offset=%lu", w[1].c_str(), (unsigned long)offset);
    return ok;
  }
  return false;
}

}  // namespace

int main() {
  Options options;
  const bool ok = ParseCommandLine(&options, {}, [](const std::string& name, const std::string& value) {
    if (name == "--mapping")
      g_memName = FromUtf8(value);
    else if (name == "--mutex")
      g_mutexName = FromUtf8(value);
    else
      return false;
    return true;
  });
  if (!ok) {
    fprintf(stderr,
            "usage: zubra_peer [--mapping NAME] [--mutex NAME] [--log FILE] [--script FILE] [--run \"cmd; "
            "cmd\"]\n");
    return 2;
  }
  HANDLE mapping =
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kViewSize, g_memName.c_str());
  g_view =
      mapping ? static_cast<uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, kViewSize)) : nullptr;
  if (!g_view) {
    fprintf(stderr, "cannot create the shared memory (%lu)\n", GetLastError());
    return 1;
  }
  // The header is the product's own; a recognisable pattern shows that nobody else writes it.
  static const char kHeader[] = "ZUBRA-USB";
  memcpy(g_view, kHeader, sizeof kHeader);
  g_log.Line("READY mapping=%s mutex=%s", ToUtf8(g_memName).c_str(), ToUtf8(g_mutexName).c_str());
  if (options.Idle()) Sleep(INFINITE);
  ExitProcess(UINT(RunScript(options.commands, Command)));
}
