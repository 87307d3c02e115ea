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
    for (; text[0] != '\0' && text[1] != '\0'; text += 2) {
        bytes.push_back(static_cast<BYTE>(std::stoi(std::string(text, 2), nullptr, 16)));
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

const BYTE* Bytes(const char* text) { return reinterpret_cast<const BYTE*>(text); }

std::vector<BYTE> Md5Of(const char* text) {
    CMd5 md5;
    md5.Update(Bytes(text), strlen(text));
    BYTE digest[Basalt::kMd5DigestSize];
    md5.Finish(digest);
    return std::vector<BYTE>(digest, digest + Basalt::kMd5DigestSize);
}

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
    EXPECT_EQ(Md5Of(""), Hex("d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_EQ(Md5Of("a"), Hex("0cc175b9c0f1b6a831c399e269772661"));
    EXPECT_EQ(Md5Of("abc"), Hex("900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_EQ(Md5Of("message digest"), Hex("f96b697d7cb7938d525a2f31aaf161d0"));
    EXPECT_EQ(Md5Of("abcdefghijklmnopqrstuvwxyz"), Hex("c3fcd3d76192e4007dfb496cca67e13b"));
    EXPECT_EQ(Md5Of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              Hex("d174ab98d277d9f5a5611c2c9f419d9f"));
    EXPECT_EQ(Md5Of("1234567890123456789012345678901234567890123456789012345678901234567890"
                    "1234567890"),
              Hex("57edf4a22be3c955ac49da2e2107b67a"));
}

TEST(Md5, VerifyAcceptsExactlyTheComputedDigest) {
    const BYTE* text = Bytes("abc");
    BYTE digest[16] = {};
    ASSERT_EQ(Basalt::ComputeMd5(text, 3, digest, 16), 0);
    EXPECT_EQ(std::vector<BYTE>(digest, digest + 16), Hex("900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_EQ(Basalt::VerifyMd5(text, 3, digest, 16), 0);
    digest[15] ^= 1;
    EXPECT_EQ(Basalt::VerifyMd5(text, 3, digest, 16), -1);
}

TEST(Md5, BadArgumentsGiveMinusOne) {
    const BYTE* text = Bytes("abc");
    BYTE digest[16] = {};
    ASSERT_EQ(Basalt::ComputeMd5(text, 3, digest, 16), 0);
    EXPECT_EQ(Basalt::ComputeMd5(nullptr, 3, digest, 16), -1);
    EXPECT_EQ(Basalt::ComputeMd5(text, 0, digest, 16), -1);
    EXPECT_EQ(Basalt::ComputeMd5(text, 3, nullptr, 16), -1);
    EXPECT_EQ(Basalt::ComputeMd5(text, 3, digest, 15), -1);
    EXPECT_EQ(Basalt::VerifyMd5(text, 2, digest, 16), -1);
    EXPECT_EQ(Basalt::VerifyMd5(text, 3, digest, 17), -1);
    EXPECT_EQ(Basalt::VerifyMd5(text, 3, nullptr, 16), -1);
    EXPECT_EQ(Basalt::VerifyMd5(nullptr, 3, digest, 16), -1);
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

// By hand: fb is the keystream byte xor the plain byte, then c = k2 + (k1 ^ fb).
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

TEST(FeedbackCipher, UnusableKeyOrRoundsTakeTheDefaults) {
    auto encrypt = [](const BYTE* key, int keyLength, int rounds) {
        const BYTE plain[] = "same value";
        std::vector<BYTE> out(sizeof(plain));
        EXPECT_TRUE(CFeedbackCipher(key, keyLength, rounds).Encrypt(plain, out.data(), out.size()));
        return out;
    };
    const BYTE* defaultKey = Bytes(Basalt::kDefaultCipherKey);
    EXPECT_EQ(encrypt(nullptr, 0, 1), encrypt(defaultKey, 38, 0));
    EXPECT_EQ(encrypt(nullptr, 0, 1), encrypt(defaultKey, -3, 1));
}

TEST(FeedbackCipher, RejectsMissingInput) {
    CFeedbackCipher cipher(Bytes(Basalt::kIniValueKey), Basalt::kCipherKeyLength, 1);
    BYTE in[4] = {1, 2, 3, 4}, out[4] = {};
    for (auto op : {&CFeedbackCipher::Encrypt, &CFeedbackCipher::Decrypt}) {
        EXPECT_FALSE((cipher.*op)(nullptr, out, 4));
        EXPECT_FALSE((cipher.*op)(in, nullptr, 4));
        EXPECT_FALSE((cipher.*op)(in, out, 0));
    }
}
