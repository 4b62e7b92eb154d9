// Device records the state-file tests write and check.
#pragma once

#include <string>
#include <vector>

#include "harness.h"

namespace vellora::test {

// A device record whose token the test knows.
struct KnownDevice {
  std::string token;
  std::string id;
  std::string json(std::uint64_t last_used) const {
    return R"({"id":")" + id + R"(","hash":")" + sha256_of(token) +
           R"(","label":"http://localhost:3000","created":1,"last_used":)" +
           std::to_string(last_used) + "}";
  }
};

inline KnownDevice known_device(int n) {
  std::string token = "vat_" + sha256_of("device " + std::to_string(n));
  return {token, sha256_of(token).substr(0, 8)};
}

inline void write_devices(const Agent& agent, const std::vector<std::string>& records) {
  std::string text = R"({"devices":[)";
  for (std::size_t i = 0; i < records.size(); ++i) text += (i ? "," : "") + records[i];
  write_file(agent.config_dir() / "devices.json", text + "]}");
}

inline bool authenticates(const Agent& agent, const std::string& token) {
  return agent.post_auth("/v1/prepare", R"({"files":[]})", token).status == 200;
}

}  // namespace vellora::test
