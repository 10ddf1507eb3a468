// The sidecar: a copy of a pack's directory in a file of its own next to the
// pack (the pack's name + ".dir"). Every save writes it, whole and flushed,
// before the pack's own directory is rewritten; a mount whose pack directory
// was overwritten or torn by a crash takes the directory from it. Plain
// functions over bytes; any thread may call them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vantrel {

struct TPackSidecar {
  int32_t sectorsize = 0;     // the S the directory was written with
  uint32_t prevcheck = 0;     // check value of the pack's header before that save
  int64_t endofdata = 0;      // where the directory sits in the pack
  uint64_t saveid = 0;        // the save's id, also in the pack's header
  uint64_t prevsaveid = 0;    // id of the pack's header before that save (0: unknown)
  std::vector<uint8_t> tail;  // record block + header block, byte for byte as in the pack
};

// The check value our writer puts in bytes 28..31 of the pack's header: the
// CRC-32 of the plain header's bytes 0..27 (the save id included) followed
// by the encrypted records as stored (filler left out). It ties a save id
// to the one directory that save wrote.
uint32_t PackDirCheck(std::span<const uint8_t> header28, std::span<const uint8_t> records);

inline std::string PackSidecarPath(const std::string& packpath) { return packpath + ".dir"; }

// The file form: "VPAKDIR1", then sectorsize (int32), prevcheck (uint32),
// endofdata (int64), saveid, prevsaveid (uint64), the tail's length (int64),
// the tail, and the MD5 of every byte before it. Little-endian.
std::vector<uint8_t> EncodePackSidecar(const TPackSidecar& sidecar);
// nullopt for anything that is not a whole, undamaged sidecar.
std::optional<TPackSidecar> DecodePackSidecar(std::span<const uint8_t> bytes);

}  // namespace vantrel
