#include "app/main/FileAssociations.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cwchar>
#include <string>

#include "common/SharedHelpers.h"

namespace {

constexpr size_t kTextSize = 512;
// Explorer keeps one letter per program; only the first values are looked at.
constexpr DWORD kMaxListedValues = 20;
constexpr DWORD kNameChars = 64;
constexpr DWORD kDataBytes = 256;
constexpr size_t kCompareChars = 128;
constexpr size_t kOrderChars = 31;

std::wstring EditionExeName() { return std::wstring(GetEditionName()) + L".exe"; }

HKEY CreateKey(HKEY root, const wchar_t* path, REGSAM extra) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | extra, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return nullptr;
  return key;
}

void SetString(HKEY key, const wchar_t* name, const wchar_t* data) {
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                 static_cast<DWORD>((wcslen(data) + 1) * sizeof(wchar_t)));
}

// One value in one view; a key that cannot be made is skipped.
void WriteValue(HKEY root, const wchar_t* path, const wchar_t* name, const wchar_t* data, REGSAM extra = 0) {
  HKEY key = CreateKey(root, path, extra);
  if (!key) return;
  SetString(key, name, data);
  RegCloseKey(key);
}

void WriteBothViews(HKEY root, const wchar_t* path, const wchar_t* name, const wchar_t* data) {
  WriteValue(root, path, name, data);
  WriteValue(root, path, name, data, KEY_WOW64_64KEY);
}

bool Quoted(const wchar_t* format, const wchar_t* programPath, wchar_t* out, size_t size) {
  int n = swprintf(out, size, format, programPath);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    if (size) out[0] = 0;
    return false;
  }
  return true;
}

}  // namespace

bool BuildOpenCommand(const wchar_t* programPath, wchar_t* out, size_t size) {
  return Quoted(L"\"%ls\" \"%%1\"", programPath, out, size);
}

bool BuildIconText(const wchar_t* programPath, wchar_t* out, size_t size) {
  return Quoted(L"\"%ls\", 0", programPath, out, size);
}

bool AddToOpenWithList(HKEY currentUser, const wchar_t* extension) {
  std::wstring path = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\";
  path += extension;
  path += L"\\OpenWithList";
  HKEY key = CreateKey(currentUser, path.c_str(), 0);
  if (!key) return false;

  const std::wstring exeName = EditionExeName();
  wchar_t exeUpper[kCompareChars + 1] = {};
  wcsncpy(exeUpper, exeName.c_str(), kCompareChars);
  CharUpperBuffW(exeUpper, static_cast<DWORD>(wcslen(exeUpper)));

  bool listed = false;
  wchar_t highest = 0;
  wchar_t order[kOrderChars + 2] = {};  // the letters read, then the one added
  for (DWORD index = 0; index < kMaxListedValues; ++index) {
    wchar_t name[kNameChars] = {};
    wchar_t data[kDataBytes / sizeof(wchar_t) + 1] = {};
    // Both sizes are in-out: a short value must not shrink the next one's buffers.
    DWORD nameChars = kNameChars;
    DWORD dataBytes = kDataBytes;
    DWORD type = 0;
    LONG rc = RegEnumValueW(key, index, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE*>(data),
                            &dataBytes);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) {
      RegCloseKey(key);
      return false;
    }
    // Data that fills the buffer carries no terminator of its own.
    size_t chars = dataBytes / sizeof(wchar_t);
    data[chars < kCompareChars ? chars : kCompareChars] = 0;
    CharUpperBuffW(data, static_cast<DWORD>(wcslen(data)));
    if (wcscmp(data, exeUpper) == 0) {
      listed = true;
      continue;
    }
    if (nameChars == 1) {
      if (name[0] > highest) highest = name[0];
    } else if (wcscmp(name, L"MRUList") == 0) {
      // Upper-cased already; the whole string is lower-cased when written back.
      wcsncpy(order, data, kOrderChars);
      order[kOrderChars] = 0;
    }
  }
  if (listed) {
    RegCloseKey(key);
    return true;
  }

  const wchar_t letter[2] = {highest ? static_cast<wchar_t>(highest + 1) : L'a', 0};
  SetString(key, letter, exeName.c_str());
  size_t length = wcslen(order);
  order[length] = letter[0];
  order[length + 1] = 0;
  CharLowerBuffW(order, static_cast<DWORD>(length + 1));
  SetString(key, L"MRUList", order);
  RegCloseKey(key);
  return true;
}

bool SetExtensionProgId(HKEY classesRoot, const wchar_t* extension) {
  WriteBothViews(classesRoot, extension, nullptr, kDocumentProgId);
  return true;
}

void RegisterAppCapabilities(HKEY localMachine, const wchar_t* programPath) {
  wchar_t command[kTextSize], icon[kTextSize];
  BuildOpenCommand(programPath, command, kTextSize);
  BuildIconText(programPath, icon, kTextSize);
  WriteValue(localMachine, L"Software\\Classes\\Quillmeridian.Document\\Shell\\open\\command", nullptr,
             command);
  WriteValue(localMachine, L"Software\\Classes\\Quillmeridian.Document\\DefaultIcon", nullptr, icon);
  HKEY caps = CreateKey(localMachine, kCapabilitiesKey, 0);
  if (caps) {
    SetString(caps, L"ApplicationDescription", L"Quillmeridian language training tool");
    SetString(caps, L"ApplicationName", GetEditionName());
    RegCloseKey(caps);
  }
  std::wstring assoc = std::wstring(kCapabilitiesKey) + L"\\FileAssociations";
  HKEY types = CreateKey(localMachine, assoc.c_str(), 0);
  if (types) {
    for (const wchar_t* ext : {L".mp3", L".wav", L".qpk"}) SetString(types, ext, kDocumentProgId);
    RegCloseKey(types);
  }
  WriteValue(localMachine, L"Software\\RegisteredApplications", GetEditionName(), kCapabilitiesKey);
}

bool RegisterFileAssociations(const AssociationRoots& roots, const wchar_t* programPath, bool notifyShell) {
  static const wchar_t* const kExtensions[] = {L".qpk", L".mp3", L".wav"};
  for (const wchar_t* ext : kExtensions) AddToOpenWithList(roots.currentUser, ext);
  for (const wchar_t* ext : kExtensions) SetExtensionProgId(roots.classesRoot, ext);

  wchar_t command[kTextSize], icon[kTextSize];
  BuildOpenCommand(programPath, command, kTextSize);
  std::wstring appKey =
      std::wstring(L"Software\\Classes\\Applications\\") + EditionExeName() + L"\\shell\\open\\command";
  WriteValue(roots.currentUser, appKey.c_str(), nullptr, command);
  WriteBothViews(roots.classesRoot, L"Quillmeridian.Document\\shell\\open\\command", nullptr, command);
  BuildIconText(programPath, icon, kTextSize);
  WriteBothViews(roots.classesRoot, L"Quillmeridian.Document\\DefaultIcon", nullptr, icon);

  if (notifyShell) SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  RegisterAppCapabilities(roots.localMachine, programPath);

  if (notifyShell) {
    IApplicationAssociationRegistration* registration = nullptr;
    if (SUCCEEDED(CoCreateInstance(
            CLSID_ApplicationAssociationRegistration, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
            IID_IApplicationAssociationRegistration, reinterpret_cast<void**>(&registration))) &&
        registration) {
      registration->SetAppAsDefaultAll(GetEditionName());
      registration->Release();
    }
  }
  return true;
}

namespace {

HANDLE g_associationThread = nullptr;

DWORD WINAPI AssociationThreadProc(LPVOID) {
  // The shell's default-handler request is a COM call.
  const HRESULT com = CoInitialize(nullptr);
  RegisterFileAssociations();
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}

}  // namespace

void BeginFileAssociations() {
  if (g_associationThread) return;
  g_associationThread = CreateThread(nullptr, 0, AssociationThreadProc, nullptr, 0, nullptr);
  if (!g_associationThread) RegisterFileAssociations();
}

void FinishFileAssociations() {
  if (!g_associationThread) return;
  WaitForSingleObject(g_associationThread, INFINITE);
  CloseHandle(g_associationThread);
  g_associationThread = nullptr;
}

bool RegisterFileAssociations() {
  wchar_t path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) path[0] = 0;
  return RegisterFileAssociations(AssociationRoots{}, path, true);
}
