#pragma once
// SHA-256 (FIPS 180-4), incremental, for reporting the digest of a received image.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace lab {

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    void Update(std::span<const std::uint8_t> data);
    // Finishes the hash; the object must be Reset before further use.
    Digest Finish();
    void Reset();

    static std::string ToHex(const Digest& digest);

private:
    void Compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_{};
    std::array<std::uint8_t, 64> pending_{};
    std::size_t pendingLength_ = 0;
    std::uint64_t totalLength_ = 0;
};

}  // namespace lab
