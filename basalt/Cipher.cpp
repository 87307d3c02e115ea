#include "basalt/Cipher.h"

namespace Basalt {

const char kRegistryValueKey[] = "{3B9D21F6-0A47-4cdb-8E15-C72A6F09D3E4}";
const char kDefaultCipherKey[] = "{A40E5C97-2D61-4b8f-9F30-5E7B18C2A6D1}";
const char kIniValueKey[] = "{6F2C8A13-E94B-4d07-B5A8-0C3D7E61F92B}";

static_assert(sizeof(kRegistryValueKey) == kCipherKeyLength + 1, "38 key bytes");
static_assert(sizeof(kDefaultCipherKey) == kCipherKeyLength + 1, "38 key bytes");
static_assert(sizeof(kIniValueKey) == kCipherKeyLength + 1, "38 key bytes");

namespace {

constexpr int kPermutationSize = 256;

}  // namespace

void CRc4Keystream::SetKey(const BYTE* key, int keyLength) {
    initialized_ = false;
    i_ = 0;
    j_ = 0;
    if (key == nullptr || keyLength <= 0) return;
    for (int n = 0; n < kPermutationSize; ++n) s_[n] = static_cast<BYTE>(n);
    int j = 0;
    for (int n = 0; n < kPermutationSize; ++n) {
        j = (j + s_[n] + key[n % keyLength]) & 0xFF;
        const BYTE swap = s_[n];
        s_[n] = s_[j];
        s_[j] = swap;
    }
    initialized_ = true;
}

BYTE CRc4Keystream::Next() {
    if (!initialized_) return 0;
    i_ = (i_ + 1) & 0xFF;
    j_ = (j_ + s_[i_]) & 0xFF;
    const BYTE swap = s_[i_];
    s_[i_] = s_[j_];
    s_[j_] = swap;
    return s_[(s_[i_] + s_[j_]) & 0xFF];
}

CFeedbackCipher::CFeedbackCipher(const BYTE* key, int keyLength, int rounds)
    : rounds_(rounds > 1 ? rounds : 1),
      extraRounds_(rounds_ - 1),
      allocated_(rounds_ > kInlineRounds ? new BYTE[2 * static_cast<size_t>(rounds_)]() : nullptr),
      first_(allocated_ ? allocated_.get() : inlineFirst_),
      second_(allocated_ ? allocated_.get() + rounds_ : inlineSecond_) {
    if (key == nullptr || keyLength <= 0) {
        key = reinterpret_cast<const BYTE*>(kDefaultCipherKey);
        keyLength = kCipherKeyLength;
    }
    keystream_.SetKey(key, keyLength);
    initialFeedback_ = keystream_.Next();
    feedback_ = initialFeedback_;
}

CFeedbackCipher::~CFeedbackCipher() = default;

bool CFeedbackCipher::Encrypt(const BYTE* input, BYTE* output, size_t length) {
    if (input == nullptr || output == nullptr || length == 0) return false;
    for (size_t n = 0; n < length; ++n) {
        feedback_ ^= input[n];
        const BYTE k1 = keystream_.Next();
        const BYTE k2 = keystream_.Next();
        BYTE c = static_cast<BYTE>(k2 + (k1 ^ feedback_));
        for (int r = 0; r < extraRounds_; ++r) {
            const BYTE d = keystream_.Next();
            const BYTE e = keystream_.Next();
            c = static_cast<BYTE>((c ^ d) + e);
        }
        output[n] = c;
    }
    return true;
}

bool CFeedbackCipher::Decrypt(const BYTE* input, BYTE* output, size_t length) {
    if (input == nullptr || output == nullptr || length == 0) return false;
    for (size_t n = 0; n < length; ++n) {
        // Draw every round's pair first, in the order Encrypt drew them, then
        // undo the rounds from the last to the first.
        for (int r = 0; r < rounds_; ++r) {
            first_[r] = keystream_.Next();
            second_[r] = keystream_.Next();
        }
        BYTE c = input[n];
        for (int r = rounds_ - 1; r >= 1; --r) {
            c = static_cast<BYTE>(static_cast<BYTE>(c - second_[r]) ^ first_[r]);
        }
        const BYTE p = static_cast<BYTE>(first_[0] ^ feedback_ ^ static_cast<BYTE>(c - second_[0]));
        feedback_ ^= p;
        output[n] = p;
    }
    return true;
}

}  // namespace Basalt
