// The hashes of the register (OpenSSL libcrypto): SHA-256, HMAC-SHA-256, random keys, and
// the lowercase hexadecimal text they are stored and shown as.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gateway::digest {

using Sha256Bytes = std::array<uint8_t, 32>;

Sha256Bytes Sha256(std::string_view data);
Sha256Bytes HmacSha256(std::string_view key, std::string_view data);

// The SHA-256 of a file's contents, or nullopt when it cannot be read.
std::optional<Sha256Bytes> Sha256OfFile(const std::string& path);

// `n` bytes from the operating system's random source (empty when it fails).
std::string RandomBytes(size_t n);

// Lowercase hexadecimal, two characters per byte.
std::string Hex(std::string_view bytes);
std::string Hex(const Sha256Bytes& bytes);
// The bytes of an even-length hexadecimal text (either case), or nullopt.
std::optional<std::string> FromHex(std::string_view hex);

// Comparison that takes the same time wherever the texts differ.
bool SameBytes(std::string_view a, std::string_view b);

} // namespace gateway::digest
