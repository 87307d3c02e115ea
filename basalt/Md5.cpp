#include "basalt/Md5.h"

#include <string.h>

namespace Basalt {

namespace {

constexpr size_t kBlockSize = 64;
constexpr size_t kLengthOffset = 56;  // where the bit count starts in the last block

// Per-step shift amounts and sine-derived constants of RFC 1321.
constexpr int kShifts[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                             5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                             4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                             6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr DWORD kSines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

DWORD RotateLeft(DWORD value, int count) { return (value << count) | (value >> (32 - count)); }

DWORD LoadLittleEndian(const BYTE* bytes) {
    return static_cast<DWORD>(bytes[0]) | (static_cast<DWORD>(bytes[1]) << 8) |
           (static_cast<DWORD>(bytes[2]) << 16) | (static_cast<DWORD>(bytes[3]) << 24);
}

}  // namespace

CMd5::CMd5() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

void CMd5::Transform(const BYTE* block) {
    DWORD words[16];
    for (int n = 0; n < 16; ++n) words[n] = LoadLittleEndian(block + 4 * n);
    DWORD a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (int step = 0; step < 64; ++step) {
        DWORD f;
        int index;
        if (step < 16) {
            f = (b & c) | (~b & d);
            index = step;
        } else if (step < 32) {
            f = (d & b) | (~d & c);
            index = (5 * step + 1) % 16;
        } else if (step < 48) {
            f = b ^ c ^ d;
            index = (3 * step + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            index = (7 * step) % 16;
        }
        const DWORD rotated = RotateLeft(a + f + kSines[step] + words[index], kShifts[step]);
        a = d;
        d = c;
        c = b;
        b += rotated;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void CMd5::Update(const BYTE* data, size_t length) {
    if (data == nullptr) return;
    bitCount_ += static_cast<ULONGLONG>(length) * 8;
    while (length > 0) {
        const size_t take = (kBlockSize - buffered_ < length) ? kBlockSize - buffered_ : length;
        memcpy(buffer_ + buffered_, data, take);
        buffered_ += take;
        data += take;
        length -= take;
        if (buffered_ == kBlockSize) {
            Transform(buffer_);
            buffered_ = 0;
        }
    }
}

void CMd5::Finish(BYTE (&digest)[kMd5DigestSize]) {
    const ULONGLONG bitCount = bitCount_;
    const BYTE padStart = 0x80;
    Update(&padStart, 1);
    const BYTE zero = 0;
    while (buffered_ != kLengthOffset) Update(&zero, 1);
    BYTE lengthBytes[8];
    for (int n = 0; n < 8; ++n) lengthBytes[n] = static_cast<BYTE>(bitCount >> (8 * n));
    Update(lengthBytes, sizeof(lengthBytes));
    for (int n = 0; n < 16; ++n) digest[n] = static_cast<BYTE>(state_[n / 4] >> (8 * (n % 4)));
}

int ComputeMd5(const BYTE* data, size_t length, BYTE* digest, DWORD digestSize) {
    if (data == nullptr || digest == nullptr || length == 0 || digestSize != kMd5DigestSize) {
        return -1;
    }
    CMd5 md5;
    md5.Update(data, length);
    BYTE result[kMd5DigestSize];
    md5.Finish(result);
    memcpy(digest, result, kMd5DigestSize);
    return 0;
}

int VerifyMd5(const BYTE* data, size_t length, const BYTE* expected, DWORD expectedSize) {
    if (expected == nullptr) return -1;
    BYTE actual[kMd5DigestSize];
    if (ComputeMd5(data, length, actual, expectedSize) != 0) return -1;
    return memcmp(actual, expected, kMd5DigestSize) == 0 ? 0 : -1;
}

}  // namespace Basalt
