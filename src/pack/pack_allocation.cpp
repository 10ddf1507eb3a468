// Where a file's bytes go in the data area and how much slack it gets.
#include <algorithm>
#include <cmath>
#include <limits>

#include "pack/pack_dir_record.h"
#include "pack/pack_errors.h"

namespace vantrel {

namespace {

bool EndsWith(const std::string& s, const char* tail) {
  const size_t n = std::char_traits<char>::length(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

bool StartsWith(const std::string& s, const char* head) { return s.rfind(head, 0) == 0; }

// Files that never grow get no slack beyond the rounding to the sector.
bool IsFixedSize(const std::string& name) {
  static const char* const kEnds[] = {"heightmap.dat", "cover.ctc", ".dds", ".avi"};
  static const char* const kStarts[] = {
      "game/objects/characters/rivod", "game/objects/characters/dwarf",
      "game/objects/characters/elf",   "game/objects/characters/fairy",
      "game/objects/characters/ferre", "game/objects/characters/hariharan",
      "game/objects/characters/nuian", "game/objects/characters/warborn"};
  for (const char* e : kEnds) {
    if (EndsWith(name, e)) return true;
  }
  for (const char* s : kStarts) {
    if (StartsWith(name, s)) return true;
  }
  return false;
}

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

}  // namespace

int64_t TPackDirRecord::CalculateFileMargin(const std::string& filename, int64_t size) const {
  if (size < 0) throw EPackError("Negative size for \"" + filename + "\"");
  if (size > kPackMaxFileSize) {
    throw EPackError("\"" + filename + "\" is too large for the pack (" + std::to_string(size) +
                     " bytes; a file may have at most " + std::to_string(kPackMaxFileSize) + ")");
  }
  const double z = static_cast<double>(size);
  double t = 0;
  if (IsFixedSize(filename)) {
    t = z;
  } else if (EndsWith(filename, "db/compact.sqlite")) {
    t = 2 * z;
  } else if (size <= 16384) {
    t = 1.1 * z;
  } else if (size < 16777216) {
    t = z * (1.1 - 0.08 * (z - 16384) / 16760832);
  } else {
    t = 1.02 * z;
  }
  // Nearest integer, ties to even (the default rounding mode).
  double d = std::nearbyint(t);
  // A slot is counted in signed 32 bits: the slack of a large file shrinks
  // so that its slot still fits one, rather than the file being refused.
  const int64_t s = logicalsectorsize;
  const int64_t cap = (kInt32Max / s) * s;
  if (d > static_cast<double>(cap)) d = static_cast<double>(cap);
  const int64_t e = PackRoundup(static_cast<int64_t>(d), s);
  if (e > kInt32Max || e < size) {
    throw EPackError("\"" + filename + "\" is too large for the pack (" + std::to_string(size) +
                     " bytes)");
  }
  return e - size;
}

TPackFileRecord& TPackDirRecord::PlaceFile(const std::string& n, int64_t z) {
  const int64_t m = CalculateFileMargin(n, z);
  if (const auto it = filelist.find(n); it != filelist.end()) {
    TPackFileRecord& r = *it->second;
    const int64_t room = r.size + static_cast<int64_t>(r.margin);
    if (room >= z && room - z <= kInt32Max) {
      r.margin = static_cast<int32_t>(room - z);
      r.size = r.uncompSize = z;
      return r;
    }
    FreeSlot(r);
    filelist.erase(it);
    numRecord = static_cast<int32_t>(filelist.size());
  }
  const int64_t need = z + m;
  OptimizeUnusedRecords();
  auto rec = std::make_unique<TPackFileRecord>();
  bool placed = false;
  for (size_t i = unusedlist.size(); i-- > 0;) {
    TPackFileRecord& u = *unusedlist[i];
    if (u.size < need) continue;
    // A slot more than twice the need is split; so is one whose rest would
    // not fit a record's margin.
    if (u.size > 2 * need || u.size - z > kInt32Max) {
      rec->offset = u.offset;
      rec->margin = static_cast<int32_t>(m);
      u.offset += need;
      u.size -= need;
      u.uncompSize = u.size;
    } else {
      rec->offset = u.offset;
      rec->margin = static_cast<int32_t>(u.size - z);
      unusedlist.erase(unusedlist.begin() + static_cast<std::ptrdiff_t>(i));
      numUnused = static_cast<int32_t>(unusedlist.size());
    }
    placed = true;
    break;
  }
  if (!placed) {
    rec->offset = endofdata;
    rec->margin = static_cast<int32_t>(m);
    endofdata += need;
  }
  rec->size = rec->uncompSize = z;
  rec->SetName(n);
  TPackFileRecord& out = *rec;
  filelist[n] = std::move(rec);
  numRecord = static_cast<int32_t>(filelist.size());
  return out;
}

void TPackDirRecord::FreeSlot(const TPackFileRecord& r) {
  const int64_t slot = r.size + static_cast<int64_t>(r.margin);
  if (r.offset + slot == endofdata) {
    endofdata -= slot;
    return;
  }
  auto u = std::make_unique<TPackFileRecord>();
  u->offset = r.offset;
  u->size = u->uncompSize = slot;
  u->SetName(kPackUnusedName);
  unusedlist.push_back(std::move(u));
  numUnused = static_cast<int32_t>(unusedlist.size());
  isunusedoptimized = false;
}

void TPackDirRecord::OptimizeUnusedRecords() {
  if (isunusedoptimized) return;
  isunusedoptimized = true;
  if (unusedlist.size() < 2) return;
  std::stable_sort(unusedlist.begin(), unusedlist.end(),
                   [](const auto& a, const auto& b) { return a->offset < b->offset; });
  // Merge touching slots, from the top down.
  TPackFileRecord* c = unusedlist.back().get();
  for (size_t i = unusedlist.size() - 1; i-- > 0;) {
    TPackFileRecord& s = *unusedlist[i];
    if (s.offset + s.size == c->offset) {
      c->offset = s.offset;
      c->size += s.size;
      c->uncompSize = c->size;
      unusedlist.erase(unusedlist.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      c = &s;
    }
  }
  // Slots at the end of the data area go back to it.
  while (!unusedlist.empty() && unusedlist.back()->offset + unusedlist.back()->size == endofdata) {
    endofdata -= unusedlist.back()->size;
    unusedlist.pop_back();
  }
  numUnused = static_cast<int32_t>(unusedlist.size());
}

}  // namespace vantrel
