#include "platform/running_trees.h"

#include <mutex>
#include <set>

namespace vellora::platform {
namespace {

struct Registry {
  // Held while a tree is killed, so release() cannot return (and the child be reaped) meanwhile.
  std::mutex mutex;
  std::set<std::function<void()>*> kills;
  bool closing = false;
};

Registry& registry() {
  static Registry* instance = new Registry;  // never destroyed: threads may still use it at exit
  return *instance;
}

}  // namespace

RunningTree::RunningTree(std::function<void()> kill) : kill_(std::move(kill)) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.closing) {
    kill_();
    return;
  }
  r.kills.insert(&kill_);
  registered_ = true;
}

void RunningTree::release() {
  if (!registered_) return;
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.kills.erase(&kill_);
  registered_ = false;
}

void kill_running_trees() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.closing = true;
  for (auto* kill : r.kills) (*kill)();
  r.kills.clear();
}

}  // namespace vellora::platform
