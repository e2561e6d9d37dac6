#include "digest.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace gateway::digest {

Sha256Bytes Sha256(std::string_view data) {
    Sha256Bytes out{};
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &size, EVP_sha256(), nullptr) != 1 ||
        size != out.size())
        throw std::runtime_error("SHA-256 failed in libcrypto");
    return out;
}

Sha256Bytes HmacSha256(std::string_view key, std::string_view data) {
    Sha256Bytes out{};
    unsigned int size = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data(),
             &size) == nullptr ||
        size != out.size())
        throw std::runtime_error("HMAC-SHA-256 failed in libcrypto");
    return out;
}

std::optional<Sha256Bytes> Sha256OfFile(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
    char buffer[65536];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0) {
        if (EVP_DigestUpdate(ctx.get(), buffer, n) != 1) return std::nullopt;
    }
    if (std::ferror(f.get())) return std::nullopt;
    Sha256Bytes out{};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx.get(), out.data(), &size) != 1 || size != out.size())
        return std::nullopt;
    return out;
}

std::string RandomBytes(size_t n) {
    std::string out(n, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1)
        return {};
    return out;
}

std::string Hex(std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

std::string Hex(const Sha256Bytes& bytes) {
    return Hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<std::string> FromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi << 4 | lo);
    }
    return out;
}

bool SameBytes(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace gateway::digest
