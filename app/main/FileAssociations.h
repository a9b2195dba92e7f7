// Registers the program as a handler of package, MP3 and WAV files: Explorer's open-with list
// per user, the ProgID and its open command and icon, the machine's capabilities entry, then
// the shell's default-handler request. Every step is best effort and reports nothing.
#pragma once

#include <windows.h>

constexpr wchar_t kDocumentProgId[] = L"Quillmeridian.Document";
constexpr wchar_t kCapabilitiesKey[] = L"Software\\Marrowby\\Quillmeridian\\Capabilities";

// The registry roots written; tests pass scratch keys (or an invalid one, for a root the user
// may not write).
struct AssociationRoots {
  HKEY currentUser = HKEY_CURRENT_USER;
  HKEY classesRoot = HKEY_CLASSES_ROOT;
  HKEY localMachine = HKEY_LOCAL_MACHINE;
};

// The real start: the program's own path, the real roots, the shell told. Always true.
bool RegisterFileAssociations();
// The real start's registration on a thread of its own, while the window is being built;
// FinishFileAssociations waits for it to end (the dialog calls it before it shows itself, the
// application after the dialog; later calls, or calls without a begin, return at once). UI thread.
void BeginFileAssociations();
void FinishFileAssociations();
// `notifyShell`: announce the change and ask the shell for the defaults afterwards.
bool RegisterFileAssociations(const AssociationRoots& roots, const wchar_t* programPath, bool notifyShell);

// Explorer's OpenWithList of `extension` under `currentUser`: adds the program under the next
// letter unless it is listed already. False when the key cannot be opened or its values cannot
// be read (nothing is written then).
bool AddToOpenWithList(HKEY currentUser, const wchar_t* extension);
// The extension's default value becomes the ProgID, in both registry views. Always true.
bool SetExtensionProgId(HKEY classesRoot, const wchar_t* extension);
// The machine-wide ProgID keys, the capabilities and their registration.
void RegisterAppCapabilities(HKEY localMachine, const wchar_t* programPath);

// "\"path\" \"%1\"" and "\"path\", 0", each at most 511 characters (false when it does not fit).
bool BuildOpenCommand(const wchar_t* programPath, wchar_t* out, size_t size);
bool BuildIconText(const wchar_t* programPath, wchar_t* out, size_t size);
