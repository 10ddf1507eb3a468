// The cipher of the pack directory: AES-128 in CBC mode under the system's
// fixed key and initialization vector. Every unit (the 32-byte header, each
// 336-byte record) is encrypted on its own, starting from the vector.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace vantrel {

// The key and the initialization vector of every pack this system reads or
// writes. A pack can only be read with the values that wrote it: changing
// either one makes every existing pack look empty, and the client is then
// downloaded again from scratch.
inline constexpr std::array<uint8_t, 16> kPackKey = {
    0x5A, 0x2E, 0x91, 0x0C, 0xD7, 0x43, 0xB8, 0x6F, 0x14, 0xE9, 0x7A, 0x35, 0xC2, 0x88, 0x0B, 0x5D};
inline constexpr std::array<uint8_t, 16> kPackIV = {0x3C, 0x71, 0xA4, 0x1F, 0x69, 0xD2, 0x08, 0xBE,
                                                    0x57, 0x96, 0x2B, 0xE0, 0x4D, 0x13, 0xF5, 0x82};

// Return the encrypted or decrypted copy of bytes, whose length must be a
// multiple of 16; the copy has the same length. The chaining starts from
// kPackIV at every call. Raise EPackError when the length is not a multiple
// of 16 or the cipher fails. Any thread may call them: the two cipher
// contexts they share are set up once and used under a lock.
std::vector<uint8_t> EncryptDirData(std::span<const uint8_t> bytes);
std::vector<uint8_t> DecryptDirData(std::span<const uint8_t> bytes);

}  // namespace vantrel
