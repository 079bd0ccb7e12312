// SHA-256 hex digests.
#include "net.h"

#include <gtest/gtest.h>

TEST(Sha256Hex, KnownDigests) {
    char out[65];
    qv_sha256_hex("", 0, out);
    EXPECT_STREQ(out, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    qv_sha256_hex("abc", 3, out);
    EXPECT_STREQ(out, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}
