// Answers the program's boxes in-process: each box shown through ShowPrompt is recorded and answered
// from a queue of answers (IDOK when the queue is empty). One script at a time, on any thread.
// With WhileUp, each box stays up while an action runs, as a real box whose own loop handles what
// arrives meanwhile: its owner is disabled until the answer (and enabled again only when the box
// had disabled it).
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/Locks.h"
#include "common/Prompt.h"

struct AskedPrompt {
  HWND owner;
  std::wstring text;
  std::wstring caption;
  UINT style;
};

class ScriptedPrompts {
 public:
  explicit ScriptedPrompts(std::deque<int> answers = {}) : previous_(g_pfnShowPrompt) {
    std::lock_guard<Mutex> hold(Lock());
    Current() = this;
    answers_ = std::move(answers);
    g_pfnShowPrompt = Answer;
  }
  ~ScriptedPrompts() {
    std::lock_guard<Mutex> hold(Lock());
    g_pfnShowPrompt = previous_;
    Current() = nullptr;
  }
  ScriptedPrompts(const ScriptedPrompts&) = delete;
  ScriptedPrompts& operator=(const ScriptedPrompts&) = delete;

  void Queue(int answer) {
    std::lock_guard<Mutex> hold(Lock());
    answers_.push_back(answer);
  }
  std::vector<AskedPrompt> Asked() const {
    std::lock_guard<Mutex> hold(Lock());
    return asked_;
  }
  void WhileUp(std::function<void(const std::wstring& text)> act) {
    std::lock_guard<Mutex> hold(Lock());
    whileUp_ = std::move(act);
  }
  // Forgets what was asked so far.
  void Clear() {
    std::lock_guard<Mutex> hold(Lock());
    asked_.clear();
  }

 private:
  static int Answer(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
    int answer = IDOK;
    std::function<void(const std::wstring&)> act;
    {
      std::lock_guard<Mutex> hold(Lock());
      ScriptedPrompts* self = Current();
      if (!self) return IDOK;
      self->asked_.push_back({owner, text ? text : L"", caption ? caption : L"", style});
      if (!self->answers_.empty()) {
        answer = self->answers_.front();
        self->answers_.pop_front();
      }
      act = self->whileUp_;
    }
    if (!act) return answer;
    // Unlocked: what the action does may show boxes of its own.
    const bool disabled = owner && IsWindowEnabled(owner);
    if (disabled) EnableWindow(owner, FALSE);
    act(text ? text : L"");
    if (disabled) EnableWindow(owner, TRUE);
    return answer;
  }
  static Mutex& Lock() {
    static Mutex lock;
    return lock;
  }
  static ScriptedPrompts*& Current() {
    static ScriptedPrompts* current = nullptr;
    return current;
  }

  PFN_ShowPrompt previous_;
  std::deque<int> answers_;
  std::vector<AskedPrompt> asked_;
  std::function<void(const std::wstring&)> whileUp_;
};
