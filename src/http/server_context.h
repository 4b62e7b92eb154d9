#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vellora {

// State shared by all request threads; created once at start and never destroyed.
struct ServerContext {
  std::vector<std::string> allowed_origins;  // read-only after start
  unsigned port = 0;  // the port actually bound (VELLORA_AGENT_PORT=0 picks a free one)

  // Projects with a compile running: one compile per project at a time.
  std::mutex busy_mutex;
  std::set<std::string> busy_projects;

  bool idle() {
    std::lock_guard lock(busy_mutex);
    return busy_projects.empty();
  }
};

// Compiles in progress, read by the tray without locking.
std::atomic<std::uint64_t>& active_compiles();

}  // namespace vellora
