#include "pairing/pairing.h"

#include <atomic>
#include <charconv>
#include <expected>

#include "auth/registry.h"
#include "auth/tokens.h"
#include "common/file.h"
#include "common/text.h"
#include "desktop/desktop.h"
#include "dirs/dirs.h"
#include "http/json_reply.h"
#include "platform/crypto.h"
#include "platform/env.h"

namespace vellora {
namespace {

constexpr std::string_view CODE_ALPHABET = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
constexpr std::uint64_t CODE_VALIDITY_SECS = 300;
constexpr std::uint32_t MAX_ATTEMPTS = 5;

std::atomic<std::uint64_t> last_pair_request{0};

// The clock of the request rate limit. VELLORA_PAIR_CLOCK_FILE may name a file holding the time
// in seconds, so that tests step the clock instead of sleeping; without the file, the real time.
std::uint64_t rate_limit_now() {
  if (const auto file = platform::get_env_path("VELLORA_PAIR_CLOCK_FILE")) {
    if (const auto text = read_file(*file)) {
      const std::string_view digits = trim(*text);
      std::uint64_t seconds = 0;
      const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), seconds);
      if (!digits.empty() && ec == std::errc() && end == digits.data() + digits.size())
        return seconds;
    }
  }
  return now_secs();
}

Reply pairing_error(unsigned status, const AllowedOrigin& origin, const char* error,
                    const char* reason) {
  return json_reply(status, origin, json::object{{"error", error}, {"reason", reason}});
}

}  // namespace

std::expected<std::string, std::string> issue_code(const std::filesystem::path& config_dir) {
  const auto lock = StateLock::acquire(config_dir);
  if (!lock) return std::unexpected(lock.error());
  std::string code;
  for (int i = 0; i < 12; ++i) {
    if (i > 0 && i % 4 == 0) code += '-';
    code += CODE_ALPHABET[platform::random_u32() >> 27];
  }
  if (auto saved = save_pending(config_dir, Pending{code, now_secs() + CODE_VALIDITY_SECS, 0});
      !saved)
    return std::unexpected(saved.error());
  return code;
}

std::string pairing_notification_body(const std::string& code, bool copied) {
  std::string body = "Code: " + code + "\n\n";
  body +=
      "This is the pairing code of the Vellora local agent: it links the browser to this program, "
      "which compiles your projects with the LaTeX on this machine.";
  if (copied)
    body += "\nThe code has already been copied to the clipboard: just paste it (Ctrl+V).";
  body +=
      "\nType or paste the code in the Vellora window (valid for 5 minutes and can only be used "
      "once). This notification is in the system notification area.";
  return body;
}

Reply pair_request(const AllowedOrigin& origin) {
  const std::uint64_t now = rate_limit_now();
  // The exchange comes before the test: a refused request also restarts the window.
  const std::uint64_t previous = last_pair_request.exchange(now);
  if ((now > previous ? now - previous : 0) <= 2)
    return error_reply(429, origin, "wait a few seconds");
  const auto issued = issue_code(config_dir());
  // A code that was not stored could never be confirmed: it is not shown.
  if (!issued) return error_reply(500, origin, issued.error());
  const std::string& code = *issued;
  const auto unreachable = desktop_unreachable();
  const bool copied = copy_to_clipboard(code);
  // The notification stays as long as its code is valid: it says it can be found again.
  const bool notified =
      show_notification("Vellora: pairing code", pairing_notification_body(code, copied),
                        std::chrono::seconds(CODE_VALIDITY_SECS));
  json::object reply{{"clipboard", copied}, {"notified", notified}};
  // Without a graphical session the page can tell the user why nothing was copied.
  if (unreachable) reply["display"] = false;
  return json_reply(200, origin, std::move(reply));
}

Reply pair_confirm(const json::value& body, const std::string& origin_header,
                   const AllowedOrigin& origin) {
  std::string given;
  if (const auto* object = body.if_object()) {
    if (const auto* code = object->if_contains("code"); code && code->is_string())
      given = std::string(code->get_string());
  }
  const auto dir = config_dir();
  const auto lock = StateLock::acquire(dir);
  if (!lock) return error_reply(500, origin, lock.error());
  const auto pending = load_pending(dir);
  // A code that reached the attempt limit stays dead even when it could not be deleted.
  if (!pending || pending->attempts >= MAX_ATTEMPTS)
    return pairing_error(401, origin, "invalid code", "invalid");
  const std::uint64_t now = now_secs();
  if (pending->expires < now) {
    if (auto removed = remove_pending(dir); !removed)
      return error_reply(500, origin, removed.error());
    return pairing_error(401, origin, "expired code", "expired");
  }
  // A hand-edited file with an empty code must not accept an empty guess.
  const std::string expected = normalize_code(pending->code);
  if (!expected.empty() && constant_time_equal(normalize_code(given), expected)) {
    auto devices = load_devices(dir);
    prune_idle(devices, now);
    if (devices.size() >= MAX_DEVICES)
      return pairing_error(409, origin, "paired browser limit reached (vellora-agent revoke)",
                           "too_many");
    auto [token, device] = issue_device(origin_header, now);
    const std::string id = device.id;
    devices.push_back(std::move(device));
    // A token is handed out only once its hash is stored; until then the code stays valid.
    if (auto saved = save_devices(dir, devices); !saved)
      return error_reply(500, origin, saved.error());
    // The code is single-use: when it cannot be deleted, it is made to read as used up.
    if (!remove_pending(dir))
      (void)save_pending(dir, Pending{pending->code, pending->expires, MAX_ATTEMPTS});
    return json_reply(200, origin, json::object{{"deviceId", id}, {"token", token}});
  }
  const std::uint32_t attempts = pending->attempts + 1;
  if (attempts < MAX_ATTEMPTS) {
    // An attempt that cannot be counted must not be given for free.
    if (auto saved = save_pending(dir, Pending{pending->code, pending->expires, attempts}); !saved)
      return error_reply(500, origin, saved.error());
    return pairing_error(401, origin, "invalid code", "invalid");
  }
  if (!remove_pending(dir)) {
    if (auto saved = save_pending(dir, Pending{pending->code, pending->expires, attempts}); !saved)
      return error_reply(500, origin, saved.error());
  }
  return pairing_error(429, origin, "too many attempts: ask for a new code", "locked");
}

}  // namespace vellora
