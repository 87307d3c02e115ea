// The value cipher: a byte-feedback stream cipher over an RC4 keystream,
// shared by obfuscated registry values and enciphered INI values.
#pragma once

#include <windows.h>

#include <memory>

namespace Basalt {

// The published RC4 key schedule and output generator. An unkeyed state
// (null key or length 0 or less) outputs 0 bytes.
class CRc4Keystream {
  public:
    CRc4Keystream() = default;
    void SetKey(const BYTE* key, int keyLength);
    BYTE Next();
    bool IsKeyed() const { return initialized_; }

  private:
    bool initialized_ = false;
    int i_ = 0;
    int j_ = 0;
    BYTE s_[256] = {};
};

// Enciphers and deciphers with `rounds` rounds (1 when less than 1). A null
// key or a length of 0 or less selects the library's default key. A cipher
// keeps its running state: make a fresh one for every value.
class CFeedbackCipher {
  public:
    CFeedbackCipher(const BYTE* key, int keyLength, int rounds);
    ~CFeedbackCipher();
    CFeedbackCipher(const CFeedbackCipher&) = delete;
    CFeedbackCipher& operator=(const CFeedbackCipher&) = delete;

    // false for a null input or output or a length of 0.
    bool Encrypt(const BYTE* input, BYTE* output, size_t length);
    bool Decrypt(const BYTE* input, BYTE* output, size_t length);

  private:
    CRc4Keystream keystream_;
    int rounds_;       // n, at least 1
    int extraRounds_;  // n - 1
    // Keystream bytes of one plain byte's rounds, drawn before undoing them:
    // inline for the usual few rounds, so that a cipher of those costs no
    // allocation; allocated beyond that.
    static constexpr int kInlineRounds = 5;
    BYTE inlineFirst_[kInlineRounds] = {};
    BYTE inlineSecond_[kInlineRounds] = {};
    std::unique_ptr<BYTE[]> allocated_;
    BYTE* first_;
    BYTE* second_;
    BYTE initialFeedback_ = 0;
    BYTE feedback_ = 0;
};

// The 38-character braced GUID keys, used as 38 key bytes without terminator.
extern const char kRegistryValueKey[];  // "{3B9D21F6-0A47-4cdb-8E15-C72A6F09D3E4}"
extern const char kDefaultCipherKey[];  // "{A40E5C97-2D61-4b8f-9F30-5E7B18C2A6D1}"
extern const char kIniValueKey[];       // "{6F2C8A13-E94B-4d07-B5A8-0C3D7E61F92B}"
constexpr int kCipherKeyLength = 38;

}  // namespace Basalt
