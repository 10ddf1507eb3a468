#include "platform/stream.h"

#include <algorithm>
#include <cstring>

#include "platform/errors.h"

namespace vantrel {

int64_t TStream::Size() {
  const int64_t pos = Seek(0, TSeekOrigin::Current);
  const int64_t end = Seek(0, TSeekOrigin::End);
  Seek(pos, TSeekOrigin::Begin);
  return end;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const int64_t n = Read(out + done, count - done);
    if (n <= 0) throw EReadError("Stream read error");
    done += n;
  }
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count > 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  constexpr int64_t kBlock = 64 * 1024;
  std::vector<uint8_t> buf(kBlock);
  int64_t copied = 0;
  while (count < 0 || copied < count) {
    const int64_t want = count < 0 ? kBlock : std::min(kBlock, count - copied);
    const int64_t n = source.Read(buf.data(), want);
    if (n <= 0) {
      if (count < 0) break;
      throw EReadError("Stream read error");
    }
    WriteBuffer(buf.data(), n);
    copied += n;
  }
  return copied;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || pos_ >= Size()) return 0;
  const int64_t n = std::min(count, Size() - pos_);
  std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t end = pos_ + count;
  if (end > Size()) {
    if (static_cast<size_t>(end) > data_.capacity()) {
      data_.reserve(std::max<size_t>(static_cast<size_t>(end), data_.capacity() * 2));
    }
    data_.resize(static_cast<size_t>(end));
  }
  std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
  pos_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == TSeekOrigin::Current) base = pos_;
  if (origin == TSeekOrigin::End) base = Size();
  const int64_t target = base + offset;
  if (target < 0) throw EStreamError("Invalid stream position");
  pos_ = target;
  return pos_;
}

void TMemoryStream::SetSize(int64_t newsize) {
  if (newsize < 0) throw EStreamError("Invalid stream size");
  data_.resize(static_cast<size_t>(newsize));
  pos_ = std::min(pos_, newsize);
}

std::vector<uint8_t> TMemoryStream::TakeBytes() {
  std::vector<uint8_t> out = std::move(data_);
  Clear();
  return out;
}

void TMemoryStream::Clear() {
  data_.clear();
  pos_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& filename) {
  TFileStream f(filename, TFileMode::Create);
  f.WriteBuffer(data_);
}

void TMemoryStream::LoadFromFile(const std::string& filename) {
  TFileStream f(filename, TFileMode::OpenRead);
  Clear();
  CopyFrom(f);
  pos_ = 0;
}

}  // namespace vantrel
