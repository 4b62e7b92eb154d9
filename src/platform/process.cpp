#include "platform/process.h"

namespace vellora::platform {

void Cancellation::cancel() {
  std::lock_guard lock(mutex_);
  if (cancelled_) return;
  cancelled_ = true;
  if (kill_) kill_();
}

bool Cancellation::cancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

bool Cancellation::attach(std::function<void()> kill) {
  std::lock_guard lock(mutex_);
  if (cancelled_) return false;
  kill_ = std::move(kill);
  return true;
}

void Cancellation::detach() {
  std::lock_guard lock(mutex_);
  kill_ = nullptr;
}

namespace {
thread_local ThreadRuns* current_scope = nullptr;
}  // namespace

ThreadRuns::ThreadRuns(std::shared_ptr<Cancellation> cancellation,
                       std::function<void(const Command&)> on_start)
    : cancellation_(std::move(cancellation)),
      on_start_(std::move(on_start)),
      outer_(current_scope) {
  current_scope = this;
}

ThreadRuns::~ThreadRuns() {
  current_scope = outer_;
}

ThreadRuns* ThreadRuns::current() {
  return current_scope;
}

}  // namespace vellora::platform
