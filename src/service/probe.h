#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vellora {

// The version of the agent answering GET /v1/status on 127.0.0.1:<port> ("?" when its version is
// not a text); none when nothing answers there as vellora-agent.
std::optional<std::string> query_running_agent(std::uint16_t port);

// What a status reply's bytes say, by the same rules.
std::optional<std::string> agent_version_in_reply(std::string_view reply);

// Restarts the service and waits until the expected version answers on the port.
std::expected<void, std::string> restart_and_verify(const std::filesystem::path& home,
                                                    std::uint16_t port,
                                                    const std::string& expected_version);

// A variable read as a whole number of seconds (one leading "+" allowed); the default when it is
// missing or not such a number.
std::uint64_t env_seconds(const std::string& name, std::uint64_t fallback);

}  // namespace vellora
