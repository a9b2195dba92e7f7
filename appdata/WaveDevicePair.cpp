#include "appdata/WaveDevicePair.h"

#include "appdata/SettingsFile.h"

namespace {

std::wstring FromAnsi(const std::string& text) {
  if (text.empty()) return L"";
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring wide(n > 0 ? n : 0, L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), wide.data(), n);
  return wide;
}

std::string ToAnsi(const std::wstring& text) {
  if (text.empty()) return "";
  const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(n > 0 ? n : 0, '\0');
  if (n > 0)
    WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), narrow.data(), n, nullptr, nullptr);
  return narrow;
}

void TakeString(const nlohmann::json& document, const char* pointer, std::wstring* id) {
  const nlohmann::json::json_pointer at(pointer);
  if (!document.contains(at)) return;
  const nlohmann::json& value = document.at(at);
  if (value.is_string()) *id = FromAnsi(value.get_ref<const std::string&>());
}

}  // namespace

void WaveDevicePair::LoadWaveDeviceSettings() {
  std::string text;
  if (!ReadWellFormedJsonText(settingsPath, &text)) return;
  try {
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded()) return;
    TakeString(document, "/Wave/WaveDeviceOut", &WaveDeviceOut);
    TakeString(document, "/Wave/WaveDeviceIn", &WaveDeviceIn);
  } catch (...) {
    // "Wave" of another shape: the ids stay.
  }
}

void WaveDevicePair::SaveWaveDeviceSettings() {
  try {
    nlohmann::json document;
    document["Wave"]["WaveDeviceOut"] = ToAnsi(WaveDeviceOut);
    document["Wave"]["WaveDeviceIn"] = ToAnsi(WaveDeviceIn);
    WriteJsonSettingsFile(settingsPath, document);
  } catch (...) {
  }
}
