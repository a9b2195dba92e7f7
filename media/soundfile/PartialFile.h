// A file written for a target under a name of its own beside it, until it is whole and moved into
// place. Its owner deletes it unless it was placed, so every failure of a save leaves the target
// and the folder as they were; and while it exists a note names it, so that a process killed
// half-way leaves nothing that the next start does not remove.
#pragma once

#include <windows.h>

#include <string>

class PartialFile {
 public:
  PartialFile() = default;
  ~PartialFile() { Discard(); }
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  // A new empty file in the target's folder; false when none can be made there. Its name is short
  // and the path is given in its long form when needed, so every target the loader takes (up to
  // 259 characters) can have one.
  bool MakeBeside(const std::wstring& target);
  // A new empty file in a folder of the track's own (its temp folder, which the track clears).
  bool MakeIn(const std::wstring& folder);
  // Moves an existing file aside under a partial name beside it, to be put back with PlaceAt or
  // dropped with Discard; false when it cannot be moved (another program holds it).
  bool TakeAside(const std::wstring& file);

  const std::wstring& Path() const { return path_; }
  bool Exists() const { return !path_.empty(); }

  // Flushed to the disk, then moved over target with write-through; just before the move, an
  // existing `keep` is renamed to `backup` when both are given (a failure of that is logged and
  // the save goes on). False when it cannot take target's place; it is still owned then.
  bool PlaceAt(const std::wstring& target, const std::wstring& keep = L"", const std::wstring& backup = L"");
  // Deletes the file (when it is still owned) and its note.
  void Discard();

 private:
  bool Adopt(const std::wstring& path, bool noted);
  void DropNote();

  std::wstring path_;
  HANDLE note_ = nullptr;
  std::wstring notePath_;
};

// Removes the partial files that ended processes left, and their notes; notes of live processes
// are held open by them and stay. Called when a track prepares its temp folder.
void RemoveLeftPartials();
