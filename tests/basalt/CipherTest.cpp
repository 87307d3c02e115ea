#include "basalt/Cipher.h"
#include "basalt/Md5.h"

#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>
#include <vector>

using Basalt::CFeedbackCipher;
using Basalt::CMd5;
using Basalt::CRc4Keystream;

namespace {

std::vector<BYTE> Hex(const char* text) {
    std::vector<BYTE> bytes;
    for (const char* p = text; p[0] != '\0' && p[1] != '\0';) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        bytes.push_back(static_cast<BYTE>(std::stoi(std::string(p, 2), nullptr, 16)));
        p += 2;
    }
    return bytes;
}

std::vector<BYTE> KeystreamAt(const std::vector<BYTE>& key, size_t offset, size_t count) {
    CRc4Keystream rc4;
    rc4.SetKey(key.data(), static_cast<int>(key.size()));
    for (size_t n = 0; n < offset; ++n) rc4.Next();
    std::vector<BYTE> out(count);
    for (auto& b : out) b = rc4.Next();
    return out;
}

std::string Md5Hex(const std::string& text) {
    CMd5 md5;
    md5.Update(reinterpret_cast<const BYTE*>(text.data()), text.size());
    BYTE digest[Basalt::kMd5DigestSize];
    md5.Finish(digest);
    std::string hex;
    char pair[3];
    for (BYTE b : digest) {
        snprintf(pair, sizeof(pair), "%02x", b);
        hex += pair;
    }
    return hex;
}

const BYTE* Bytes(const char* text) { return reinterpret_cast<const BYTE*>(text); }

}  // namespace

// RFC 6229 vectors: 40-bit and 128-bit keys at several stream offsets.
TEST(Rc4Keystream, MatchesPublishedTestVectors) {
    const std::vector<BYTE> key40 = Hex("0102030405");
    EXPECT_EQ(KeystreamAt(key40, 0, 16), Hex("b2396305f03dc027ccc3524a0a1118a8"));
    EXPECT_EQ(KeystreamAt(key40, 16, 16), Hex("6982944f18fc82d589c403a47a0d0919"));
    EXPECT_EQ(KeystreamAt(key40, 240, 16), Hex("28cb1132c96ce286421dcaadb8b69eae"));
    EXPECT_EQ(KeystreamAt(key40, 4096, 16), Hex("ff25b58995996707e51fbdf08b34d875"));

    const std::vector<BYTE> key128 = Hex("0102030405060708090a0b0c0d0e0f10");
    EXPECT_EQ(KeystreamAt(key128, 0, 16), Hex("9ac7cc9a609d1ef7b2932899cde41b97"));
    EXPECT_EQ(KeystreamAt(key128, 16, 16), Hex("5248c4959014126a6e8a84f11d1a9e1c"));
}

TEST(Rc4Keystream, UnkeyedStateOutputsZero) {
    CRc4Keystream rc4;
    EXPECT_FALSE(rc4.IsKeyed());
    EXPECT_EQ(rc4.Next(), 0);
    const BYTE key[] = {1};
    rc4.SetKey(key, 0);
    EXPECT_FALSE(rc4.IsKeyed());
    EXPECT_EQ(rc4.Next(), 0);
    rc4.SetKey(nullptr, 5);
    EXPECT_EQ(rc4.Next(), 0);
}

// RFC 1321 appendix A.5 test suite.
TEST(Md5, MatchesPublishedTestSuite) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Hex("1234567890123456789012345678901234567890123456789012345678901234567890"
                     "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, ComputeAndVerifyAgreeAndRejectBadArguments) {
    const char* text = "abc";
    BYTE digest[16] = {};
    ASSERT_EQ(Basalt::ComputeMd5(Bytes(text), 3, digest, 16), 0);
    EXPECT_EQ(std::vector<BYTE>(digest, digest + 16), Hex("900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_EQ(Basalt::VerifyMd5(Bytes(text), 3, digest, 16), 0);

    EXPECT_EQ(Basalt::ComputeMd5(nullptr, 3, digest, 16), -1);
    EXPECT_EQ(Basalt::ComputeMd5(Bytes(text), 0, digest, 16), -1);
    EXPECT_EQ(Basalt::ComputeMd5(Bytes(text), 3, nullptr, 16), -1);
    EXPECT_EQ(Basalt::ComputeMd5(Bytes(text), 3, digest, 15), -1);

    EXPECT_EQ(Basalt::VerifyMd5(Bytes(text), 2, digest, 16), -1);
    EXPECT_EQ(Basalt::VerifyMd5(Bytes(text), 3, digest, 17), -1);
    EXPECT_EQ(Basalt::VerifyMd5(Bytes(text), 3, nullptr, 16), -1);
    EXPECT_EQ(Basalt::VerifyMd5(nullptr, 3, digest, 16), -1);
    digest[15] ^= 1;
    EXPECT_EQ(Basalt::VerifyMd5(Bytes(text), 3, digest, 16), -1);
}

TEST(FeedbackCipher, RoundTripsForRoundCountsOneToEight) {
    std::mt19937 random(20240501);
    std::vector<BYTE> plain(300);
    for (auto& b : plain) b = static_cast<BYTE>(random());
    const BYTE* key = Bytes(Basalt::kRegistryValueKey);
    for (int rounds = 1; rounds <= 8; ++rounds) {
        std::vector<BYTE> cipher(plain.size()), back(plain.size());
        CFeedbackCipher encryptor(key, Basalt::kCipherKeyLength, rounds);
        ASSERT_TRUE(encryptor.Encrypt(plain.data(), cipher.data(), cipher.size()));
        EXPECT_NE(cipher, plain);
        CFeedbackCipher decryptor(key, Basalt::kCipherKeyLength, rounds);
        ASSERT_TRUE(decryptor.Decrypt(cipher.data(), back.data(), back.size()));
        EXPECT_EQ(back, plain) << "rounds " << rounds;
    }
}

// The first cipher byte follows from the algorithm by hand: fb is the first
// keystream byte, then c = k2 + (k1 ^ (fb ^ p)).
TEST(FeedbackCipher, OneRoundFollowsTheFeedbackRule) {
    const std::vector<BYTE> key = Hex("0102030405");
    const std::vector<BYTE> stream = KeystreamAt(key, 0, 5);
    const BYTE plain[2] = {0x41, 0x42};
    BYTE cipher[2] = {};
    CFeedbackCipher encryptor(key.data(), static_cast<int>(key.size()), 1);
    ASSERT_TRUE(encryptor.Encrypt(plain, cipher, 2));
    BYTE fb = static_cast<BYTE>(stream[0] ^ plain[0]);
    EXPECT_EQ(cipher[0], static_cast<BYTE>(stream[2] + (stream[1] ^ fb)));
    fb ^= plain[1];
    EXPECT_EQ(cipher[1], static_cast<BYTE>(stream[4] + (stream[3] ^ fb)));
}

TEST(FeedbackCipher, EqualValuesGiveEqualOutputAndEmptyKeyMeansDefaultKey) {
    const BYTE plain[] = "same value";
    BYTE first[sizeof(plain)], second[sizeof(plain)], third[sizeof(plain)];
    CFeedbackCipher a(nullptr, 0, 1), b(Bytes(Basalt::kDefaultCipherKey), 38, 0);
    CFeedbackCipher c(Bytes(Basalt::kDefaultCipherKey), -3, 1);
    ASSERT_TRUE(a.Encrypt(plain, first, sizeof(plain)));
    ASSERT_TRUE(b.Encrypt(plain, second, sizeof(plain)));
    ASSERT_TRUE(c.Encrypt(plain, third, sizeof(plain)));
    EXPECT_EQ(memcmp(first, second, sizeof(plain)), 0);
    EXPECT_EQ(memcmp(first, third, sizeof(plain)), 0);
}

TEST(FeedbackCipher, RejectsNullBuffersAndZeroLength) {
    CFeedbackCipher cipher(Bytes(Basalt::kIniValueKey), Basalt::kCipherKeyLength, 1);
    BYTE in[4] = {1, 2, 3, 4}, out[4] = {};
    EXPECT_FALSE(cipher.Encrypt(nullptr, out, 4));
    EXPECT_FALSE(cipher.Encrypt(in, nullptr, 4));
    EXPECT_FALSE(cipher.Encrypt(in, out, 0));
    EXPECT_FALSE(cipher.Decrypt(nullptr, out, 4));
    EXPECT_FALSE(cipher.Decrypt(in, nullptr, 4));
    EXPECT_FALSE(cipher.Decrypt(in, out, 0));
}
