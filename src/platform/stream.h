// Byte streams: the small abstraction every format and transfer works on.
// A stream has a position and a size; reads return what was there, writes
// grow the stream. A stream is used by one thread at a time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vantrel {

enum class TSeekOrigin { Begin, Current, End };

class TStream {
 public:
  virtual ~TStream() = default;

  // Reads up to count bytes at the position; returns how many were read
  // (0 at the end). Raises EReadError when the device fails.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes count bytes at the position, growing the stream as needed;
  // returns count. Raises EWriteError when not everything could be written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position and returns the new one. Raises EStreamError for a
  // position before the start.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size();
  // Cuts or extends the stream (extension reads as zero bytes). The position
  // is kept unless it lies past the new end, then it moves to the end.
  virtual void SetSize(int64_t newsize) = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::Current); }
  void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::Begin); }

  // Exact forms: raise EReadError / EWriteError on a short transfer.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  void WriteBuffer(std::span<const uint8_t> bytes) {
    WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  }

  // Copies count bytes from source's position into this stream (count < 0:
  // everything up to source's end). Returns the bytes copied; raises
  // EReadError when source ends before count bytes.
  int64_t CopyFrom(TStream& source, int64_t count = -1);
};

// A stream held in memory. Memory() stays valid until the next write or
// resize.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> bytes) : data_(std::move(bytes)) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  void SetSize(int64_t newsize) override;

  uint8_t* Memory() { return data_.data(); }
  const std::vector<uint8_t>& Bytes() const { return data_; }
  std::vector<uint8_t> TakeBytes();
  void Clear();
  // Whole contents to or from a file (system path rules of platform/files.h).
  void SaveToFile(const std::string& filename);
  void LoadFromFile(const std::string& filename);

 private:
  std::vector<uint8_t> data_;
  int64_t pos_ = 0;
};

// How a file is opened.
enum class TFileMode {
  OpenRead,       // existing file, read only
  OpenWrite,      // existing file, write only
  OpenReadWrite,  // existing file, read and write
  Create,         // created anew (an existing file is truncated), read and write
  OpenOrCreate,   // read and write; created empty when missing, never truncated
};

// What others may do with the file while this stream holds it. POSIX has no
// mandatory sharing modes: DenyWrite and Exclusive take an advisory lock
// (flock) so that two holders of our own code exclude each other.
enum class TFileShare { DenyNone, DenyWrite, Exclusive };

// A file on disk. The name may use "\" separators (see ToSystemPath).
class TFileStream : public TStream {
 public:
  // Raises EFOpenError when the file cannot be opened or created, or when
  // the requested sharing cannot be had.
  TFileStream(const std::string& filename, TFileMode mode,
              TFileShare share = TFileShare::DenyNone, unsigned permissions = 0644);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;
  void SetSize(int64_t newsize) override;

  // Forces written data to the device (fdatasync). Raises EWriteError.
  void Flush();
  // Sets the mode of the open file (an existing file keeps its old mode when
  // opened). Raises EOSError.
  void ChangeMode(unsigned permissions);
  const std::string& FileName() const { return filename_; }

 private:
  std::string filename_;
  int fd_ = -1;
};

}  // namespace vantrel
