// The simulator's SHA-256 against the published test vectors (FIPS 180-4 examples).

#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "lab/sha256.h"

namespace {

std::string HashOf(std::string_view text) {
    lab::Sha256 hash;
    hash.Update({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    return lab::Sha256::ToHex(hash.Finish());
}

TEST(Sha256, KnownVectors) {
    EXPECT_EQ(HashOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HashOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HashOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // 896-bit message: the padding spills into a further block.
    EXPECT_EQ(HashOf("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
                     "klmnopqrlmnopqrsmnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
}

TEST(Sha256, PiecewiseUpdatesEqualOneUpdate) {
    // One million 'a', fed in pieces that straddle block boundaries.
    const std::string million(1'000'000, 'a');
    lab::Sha256 hash;
    std::size_t offset = 0;
    for (std::size_t piece = 1; offset < million.size(); piece = piece * 3 % 1021 + 1) {
        const std::size_t take = std::min(piece, million.size() - offset);
        hash.Update({reinterpret_cast<const std::uint8_t*>(million.data()) + offset, take});
        offset += take;
    }
    EXPECT_EQ(lab::Sha256::ToHex(hash.Finish()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
