#include "common/gzip.h"

#include <zlib.h>

#include <algorithm>

namespace vellora {

std::expected<std::string, std::string> gunzip(std::string_view bytes, std::size_t limit) {
  z_stream stream{};
  // 16 + 15: a gzip header and the largest window.
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
    return std::unexpected(std::string("cannot start decompressing"));
  std::string out;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  int status = Z_OK;
  while (status == Z_OK) {
    if (out.size() >= limit) {
      inflateEnd(&stream);
      return std::unexpected("more than " + std::to_string(limit >> 20) + " MiB uncompressed");
    }
    const std::size_t before = out.size();
    const std::size_t room =
        std::min<std::size_t>(std::max<std::size_t>(before, 1 << 16), limit - before);
    out.resize(before + room);
    stream.next_out = reinterpret_cast<Bytef*>(out.data() + before);
    stream.avail_out = static_cast<uInt>(room);
    status = inflate(&stream, Z_NO_FLUSH);
    out.resize(before + room - stream.avail_out);
    if (status == Z_BUF_ERROR && stream.avail_in == 0) break;
    if (status == Z_BUF_ERROR) status = Z_OK;
  }
  inflateEnd(&stream);
  if (status != Z_STREAM_END) return std::unexpected(std::string("damaged compressed data"));
  return out;
}

std::expected<void, std::string> gunzip_lines(std::istream& in, std::size_t limit,
                                              std::size_t max_line,
                                              const std::function<bool(std::string_view)>& line) {
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
    return std::unexpected(std::string("cannot start decompressing"));
  struct End {
    z_stream& s;
    ~End() { inflateEnd(&s); }
  } end{stream};
  constexpr std::size_t PIECE = 64 * 1024;
  std::string packed(PIECE, '\0');
  std::string out(PIECE, '\0');
  std::string pending;  // the start of a line whose end has not arrived yet
  bool cut = false;     // the pending line reached `max_line`: the rest of it is dropped
  std::uint64_t total = 0;
  int status = Z_OK;
  // Hands over the complete lines of `text`, keeps its unfinished end; false to stop.
  const auto split = [&](std::string_view text) {
    for (;;) {
      const auto newline = text.find('\n');
      const std::string_view part = text.substr(0, newline);
      if (!cut) pending.append(part.substr(0, max_line - std::min(max_line, pending.size())));
      cut = pending.size() >= max_line;
      if (newline == std::string_view::npos) return true;
      if (!line(pending)) return false;
      pending.clear();
      cut = false;
      text.remove_prefix(newline + 1);
    }
  };
  while (status != Z_STREAM_END) {
    if (stream.avail_in == 0) {
      in.read(packed.data(), static_cast<std::streamsize>(packed.size()));
      const auto got = static_cast<std::size_t>(in.gcount());
      if (got == 0) return std::unexpected(std::string("damaged compressed data"));
      stream.next_in = reinterpret_cast<Bytef*>(packed.data());
      stream.avail_in = static_cast<uInt>(got);
    }
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    status = inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
      return std::unexpected(std::string("damaged compressed data"));
    const std::size_t produced = out.size() - stream.avail_out;
    total += produced;
    if (total > limit)
      return std::unexpected("more than " + std::to_string(limit >> 20) + " MiB uncompressed");
    if (!split(std::string_view(out.data(), produced))) return {};
  }
  if (!pending.empty()) line(pending);
  return {};
}

}  // namespace vellora
