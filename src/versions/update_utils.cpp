#include "versions/update_utils.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <memory>

#include "platform/errors.h"

namespace vantrel {

namespace {

constexpr int64_t kMD5Block = 4096;

struct TEvpCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

TBytes MD5Loop(TStream& stream) {
  std::unique_ptr<EVP_MD_CTX, TEvpCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) {
    throw EVantrelError("MD5 is not available");
  }
  uint8_t buf[kMD5Block];
  for (;;) {
    const int64_t n = stream.Read(buf, kMD5Block);
    if (n > 0) EVP_DigestUpdate(ctx.get(), buf, static_cast<size_t>(n));
    if (n < kMD5Block) break;
  }
  TBytes digest(16);
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx.get(), digest.data(), &len);
  return digest;
}

}  // namespace

TBytes GetStreamMD5(TStream& stream) { return MD5Loop(stream); }

TBytes GetFileMD5(const std::string& filename) {
  TFileStream f(filename, TFileMode::OpenRead, TFileShare::DenyNone);
  return MD5Loop(f);
}

std::array<uint8_t, 4> GetStreamCRC32(TStream& stream, int64_t n) {
  const uint32_t v = GetStreamCRC32Value(stream, n);
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

uint32_t CRC32Value(const uint8_t* data, size_t n) {
  uLong crc = crc32_z(0L, Z_NULL, 0);
  crc = crc32_z(crc, data, n);
  // Digest bytes are the CRC most significant byte first; read little-endian
  // they give the CRC with its byte order reversed.
  return __builtin_bswap32(static_cast<uint32_t>(crc));
}

uint32_t GetStreamCRC32Value(TStream& stream, int64_t n) {
  if (n <= 0) return CRC32Value(nullptr, 0);
  std::vector<uint8_t> buf(static_cast<size_t>(n), 0);
  int64_t done = 0;
  while (done < n) {
    const int64_t got = stream.Read(buf.data() + done, n - done);
    if (got <= 0) break;
    done += got;
  }
  return CRC32Value(buf.data(), buf.size());
}

bool CompressStream(TStream& source, TStream& dest) {
  try {
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      return false;
    }
    std::unique_ptr<z_stream, int (*)(z_stream*)> guard(&zs, deflateEnd);
    std::vector<uint8_t> in(64 * 1024), out(64 * 1024);
    int flush = Z_NO_FLUSH;
    do {
      const int64_t n = source.Read(in.data(), static_cast<int64_t>(in.size()));
      flush = n < static_cast<int64_t>(in.size()) ? Z_FINISH : Z_NO_FLUSH;
      zs.next_in = in.data();
      zs.avail_in = static_cast<uInt>(n);
      do {
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
        const int rc = deflate(&zs, flush);
        if (rc == Z_STREAM_ERROR) return false;
        dest.WriteBuffer(out.data(), static_cast<int64_t>(out.size() - zs.avail_out));
      } while (zs.avail_out == 0);
    } while (flush != Z_FINISH);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool DecompressStream(TStream& source, TStream& dest) {
  try {
    z_stream zs{};
    if (inflateInit2(&zs, 15) != Z_OK) return false;
    std::unique_ptr<z_stream, int (*)(z_stream*)> guard(&zs, inflateEnd);
    // Small, uninitialized buffers: a list is unpacked on every check, and
    // large or zero-filled ones cost more than the unpacking of a small list.
    constexpr int64_t kIn = 16 * 1024, kOut = 64 * 1024;
    const std::unique_ptr<uint8_t[]> in(new uint8_t[kIn]), out(new uint8_t[kOut]);
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
      if (zs.avail_in == 0) {
        const int64_t n = source.Read(in.get(), kIn);
        if (n <= 0) return false;  // the data ended inside the stream
        zs.next_in = in.get();
        zs.avail_in = static_cast<uInt>(n);
      }
      zs.next_out = out.get();
      zs.avail_out = static_cast<uInt>(kOut);
      rc = inflate(&zs, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return false;
      dest.WriteBuffer(out.get(), kOut - static_cast<int64_t>(zs.avail_out));
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool DecompressFile(const std::string& source, const std::string& dest) {
  try {
    TFileStream in(source, TFileMode::OpenRead, TFileShare::DenyNone);
    TFileStream out(dest, TFileMode::Create);
    return DecompressStream(in, out);
  } catch (const std::exception&) {
    return false;
  }
}

int32_t GetChunkSize(int64_t size) {
  if (size >= 0x7FFFFFFF) return 2 * 1024 * 1024;
  if (size >= 0x1F400000) return 1024 * 1024;
  return 512 * 1024;
}

int32_t GetChunkCount(int64_t size) { return static_cast<int32_t>(size / GetChunkSize(size) + 1); }

}  // namespace vantrel
