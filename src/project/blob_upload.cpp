#include "project/blob_upload.h"

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/base64.h"
#include "common/file.h"
#include "common/json_event_stream.h"
#include "common/text.h"
#include "dirs/dirs.h"
#include "http/body.h"
#include "http/json_reply.h"
#include "platform/crypto.h"
#include "platform/file_writer.h"
#include "project/blob_store.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

using boost::system::error_code;

// One content being received: decoded, hashed and (unless its blob is known to exist) written to
// a temporary file while its text arrives.
class IncomingBlob {
 public:
  void begin(bool write) {
    decoder_ = Base64Decoder();
    hash_ = std::make_unique<platform::Sha256>();
    file_.reset();
    write_error_.clear();
    if (!write) return;
    if (auto file = platform::DurableWriter::create(new_blob_temp_path()))
      file_.emplace(std::move(*file));
    else
      write_error_ = file.error();
  }

  void add(std::string_view text) {
    if (!hash_) return;
    buffer_.resize(std::max(buffer_.size(), Base64Decoder::max_output(text.size())));
    const auto size = decoder_.feed(text, buffer_.data());
    if (!size) {
      file_.reset();  // invalid: nothing of it is kept
      return;
    }
    const std::string_view bytes(buffer_.data(), *size);
    hash_->update(bytes);
    if (file_ && !file_->write(bytes)) {
      write_error_ = file_->error();
      file_.reset();
    }
  }

  bool valid_base64() const { return hash_ && decoder_.finish(); }

  std::string digest() { return hex_lower(hash_->finish().data(), 32); }

  // Publishes the written content under `digest`; the cause when there is no complete file.
  std::expected<void, std::string> publish(const std::string& digest) {
    if (!file_) return std::unexpected(write_error_.empty() ? "it was not written" : write_error_);
    if (!file_->commit()) {
      const std::string error = file_->error();
      file_.reset();
      return std::unexpected(error);
    }
    const fs::path temp = file_->path();
    file_.reset();
    if (!publish_blob(temp, digest)) return std::unexpected(std::string("it could not be renamed"));
    return {};
  }

  void discard() {
    file_.reset();
    hash_.reset();
  }

 private:
  Base64Decoder decoder_;
  std::unique_ptr<platform::Sha256> hash_;
  std::optional<platform::DurableWriter> file_;
  std::string write_error_;
  std::vector<char> buffer_;
};

// The containers the upload cares about: the body object, its "blobs" array and the objects in it.
enum class Role { body, blobs, entry, other };

// Receives the body's parser events and handles each blob as its members arrive. Keys and the
// digest text are kept only as far as they can matter, so no part of a body grows memory.
struct UploadEvents {
  static constexpr std::size_t max_object_size = json::object::max_size();
  static constexpr std::size_t max_array_size = json::array::max_size();
  static constexpr std::size_t max_key_size = json::string::max_size();
  static constexpr std::size_t max_string_size = json::string::max_size();
  static constexpr std::size_t KEEP = 72;  // longer keys and digests match nothing

  std::vector<Role> stack;
  std::string key;         // the last key read, cut at KEEP characters
  bool in_string = false;  // between the first part of a string value and its end
  bool blobs_is_array = false;
  // Verified blobs this body made the store keep, and those of the last "blobs" member among them:
  // as with any repeated key, the last member is the one the reply counts.
  std::set<std::string> kept;
  std::set<std::string> counted;
  // The first blob that failed; later blobs are not handled. A store that could not keep a blob
  // fails the request as the agent's fault, not the client's.
  std::optional<std::string> error;
  std::optional<std::string> store_error;

  // The blob entry being read: which of its members are strings, and the digest it claims.
  bool sha_is_string = false, b64_is_string = false;
  std::string sha;
  enum class Target { none, sha, b64 } target = Target::none;
  IncomingBlob blob;

  void append_limited(std::string& to, std::string_view s) {
    if (to.size() < KEEP) to.append(s.substr(0, KEEP - to.size()));
  }

  Role parent() const { return stack.empty() ? Role::other : stack.back(); }
  bool at_top() const { return stack.empty(); }

  // Called when any value begins; `kind` tells strings (s), other scalars (v) and containers.
  void value_begins(char kind) {
    target = Target::none;
    if (!at_top() && parent() == Role::body && key == "blobs") {
      // The last "blobs" member counts, as with any repeated key.
      blobs_is_array = kind == '[';
      counted.clear();
      error.reset();
      store_error.reset();
    }
    if (!at_top() && parent() == Role::entry && (key == "sha256" || key == "b64")) {
      const bool is_string = kind == 's';
      if (key == "sha256") {
        sha_is_string = is_string;
        sha.clear();
        if (is_string) target = Target::sha;
      } else {
        b64_is_string = is_string;
        blob.discard();
        if (is_string && !error && !store_error) {
          target = Target::b64;
          // A blob already stored is still checked but not written again.
          const auto path = sha_is_string ? blob_path(sha) : std::nullopt;
          blob.begin(!path || !metadata_readable(*path));
        }
      }
    }
    if (kind == '{' || kind == '[') {
      Role role = Role::other;
      if (at_top() && kind == '{')
        role = Role::body;
      else if (!at_top() && parent() == Role::body && key == "blobs" && kind == '[')
        role = Role::blobs;
      else if (!at_top() && parent() == Role::blobs && kind == '{')
        role = Role::entry;
      if (role == Role::entry) {
        sha_is_string = b64_is_string = false;
        sha.clear();
        blob.discard();
      }
      stack.push_back(role);
    }
  }

  void string_piece(std::string_view s) {
    if (!in_string) {
      value_begins('s');
      in_string = true;
    }
    if (target == Target::sha) append_limited(sha, s);
    if (target == Target::b64) blob.add(s);
  }

  void entry_ends() {
    if (!error && !store_error && sha_is_string && b64_is_string) {
      if (!blob.valid_base64()) {
        error = "invalid base64";
      } else if (const std::string digest = blob.digest(); !iequals_ascii(digest, sha)) {
        error = "the content does not match the hash";
      } else if (kept.contains(digest)) {
        counted.insert(digest);
      } else if (!metadata_readable(blobs_dir() / digest)) {
        const auto published = blob.publish(digest);
        if (published) {
          kept.insert(digest);
          counted.insert(digest);
        } else if (!metadata_readable(blobs_dir() / digest)) {
          store_error = "the blob " + digest + " could not be stored: " + published.error();
        }
      }
    }
    blob.discard();
  }

  bool container_ends() {
    if (stack.back() == Role::entry) entry_ends();
    stack.pop_back();
    return true;
  }

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }
  bool on_object_begin(error_code&) {
    value_begins('{');
    return true;
  }
  bool on_object_end(std::size_t, error_code&) { return container_ends(); }
  bool on_array_begin(error_code&) {
    value_begins('[');
    return true;
  }
  bool on_array_end(std::size_t, error_code&) { return container_ends(); }
  bool on_key_part(json::string_view s, std::size_t n, error_code&) {
    if (n == s.size()) key.clear();
    append_limited(key, s);
    return true;
  }
  bool on_key(json::string_view s, std::size_t n, error_code& ec) { return on_key_part(s, n, ec); }
  bool on_string_part(json::string_view s, std::size_t, error_code&) {
    string_piece(s);
    return true;
  }
  bool on_string(json::string_view s, std::size_t, error_code&) {
    string_piece(s);
    in_string = false;
    target = Target::none;
    return true;
  }
  bool scalar() {
    value_begins('v');
    return true;
  }
  bool on_number_part(json::string_view, error_code&) { return true; }
  bool on_int64(std::int64_t, json::string_view, error_code&) { return scalar(); }
  bool on_uint64(std::uint64_t, json::string_view, error_code&) { return scalar(); }
  bool on_double(double, json::string_view, error_code&) { return scalar(); }
  bool on_bool(bool, error_code&) { return scalar(); }
  bool on_null(error_code&) { return scalar(); }
  bool on_comment_part(json::string_view, error_code&) { return false; }
  bool on_comment(json::string_view, error_code&) { return false; }
};

}  // namespace

Reply blobs_endpoint(BodySource& body, const AllowedOrigin& origin) {
  create_private_dirs(blobs_dir());
  JsonEventStream<UploadEvents> stream;
  const UploadEvents& events = stream.handler();
  // Blobs are stored while the body arrives, so a body refused later may have left some: they are
  // verified and content-addressed, so they stay, and every refusal says how many there are.
  const auto refused = [&](unsigned status, const std::string& message) {
    return json_reply(status, origin,
                      json::object{{"error", message}, {"stored", events.kept.size()}});
  };
  const auto read =
      read_body_into(body, [&](std::string_view piece) { return stream.feed(piece); });
  if (!read) return refused(400, read.error());
  if (auto done = stream.finish(); !done) return refused(400, "invalid JSON: " + done.error());
  if (!events.blobs_is_array) return refused(400, "no blobs");
  if (events.store_error) return refused(500, *events.store_error);
  if (events.error) return refused(400, *events.error);
  return json_reply(200, origin, json::object{{"stored", events.counted.size()}});
}

}  // namespace vellora
