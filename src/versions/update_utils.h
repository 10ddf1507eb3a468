// Digest, CRC and zlib helpers shared by the version lists, the download
// manager and the workflows. They hold no shared state: any thread may call
// them, each on its own streams.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/stream.h"

namespace vantrel {

using TBytes = std::vector<uint8_t>;

// MD5 of the bytes from the stream's position to its end, read in 4096-byte
// blocks; the stream is left at its end. Raises stream errors.
TBytes GetStreamMD5(TStream& stream);
// MD5 of a whole file (opened for reading, others may read but not write).
// Raises EFOpenError when it cannot be opened.
TBytes GetFileMD5(const std::string& filename);

// CRC-32 (zlib / IEEE 802.3) of the next n bytes, most significant byte
// first. A short read is padded with zero bytes up to n. The stream
// advances by the bytes read.
std::array<uint8_t, 4> GetStreamCRC32(TStream& stream, int64_t n);
// The same four bytes read as a little-endian integer: the form stored as a
// chunk check value (0xCBF43926 becomes 0x2639F4CB).
uint32_t GetStreamCRC32Value(TStream& stream, int64_t n);
// The chunk check value of bytes already in memory (same form).
uint32_t CRC32Value(const uint8_t* data, size_t n);

// zlib stream (RFC 1950, 15-bit window, default level, memory level 8) of
// everything from source's position to its end, written at dest's position.
// False on any error.
bool CompressStream(TStream& source, TStream& dest);
// Unpacks the zlib stream at source's position into dest at its position,
// up to the stream's end; bytes after it are ignored. False on any error
// (dest may then hold part of the data).
bool DecompressStream(TStream& source, TStream& dest);
// Unpacks a file into a new file (replacing one). False on any error,
// a missing source included; a created destination stays in place.
bool DecompressFile(const std::string& source, const std::string& dest);

// Chunk layout of a transfer form of size bytes: 512 KiB chunks below
// 500 MiB, 1 MiB chunks below 2 GiB - 1, 2 MiB chunks from there on.
int32_t GetChunkSize(int64_t size);
// size / GetChunkSize(size) + 1: an exact multiple ends with an empty chunk.
int32_t GetChunkCount(int64_t size);

}  // namespace vantrel
