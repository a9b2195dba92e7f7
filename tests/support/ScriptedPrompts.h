// Answers the program's boxes in-process: each box shown through ShowPrompt is recorded and answered
// from a queue of answers (IDOK when the queue is empty). One script at a time, on any thread.
#pragma once

#include <windows.h>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

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
    std::lock_guard<std::mutex> hold(Lock());
    Current() = this;
    answers_ = std::move(answers);
    g_pfnShowPrompt = Answer;
  }
  ~ScriptedPrompts() {
    std::lock_guard<std::mutex> hold(Lock());
    g_pfnShowPrompt = previous_;
    Current() = nullptr;
  }
  ScriptedPrompts(const ScriptedPrompts&) = delete;
  ScriptedPrompts& operator=(const ScriptedPrompts&) = delete;

  void Queue(int answer) {
    std::lock_guard<std::mutex> hold(Lock());
    answers_.push_back(answer);
  }
  std::vector<AskedPrompt> Asked() const {
    std::lock_guard<std::mutex> hold(Lock());
    return asked_;
  }
  // Forgets what was asked so far.
  void Clear() {
    std::lock_guard<std::mutex> hold(Lock());
    asked_.clear();
  }

 private:
  static int Answer(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
    std::lock_guard<std::mutex> hold(Lock());
    ScriptedPrompts* self = Current();
    if (!self) return IDOK;
    self->asked_.push_back({owner, text ? text : L"", caption ? caption : L"", style});
    if (self->answers_.empty()) return IDOK;
    int answer = self->answers_.front();
    self->answers_.pop_front();
    return answer;
  }
  static std::mutex& Lock() {
    static std::mutex lock;
    return lock;
  }
  static ScriptedPrompts*& Current() {
    static ScriptedPrompts* current = nullptr;
    return current;
  }

  PFN_ShowPrompt previous_;
  std::deque<int> answers_;
  std::vector<AskedPrompt> asked_;
};
