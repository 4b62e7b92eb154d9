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
    const std::size_t room = std::min<std::size_t>(std::max<std::size_t>(before, 1 << 16), limit - before);
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

}  // namespace vellora
