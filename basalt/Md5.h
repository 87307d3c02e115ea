// The MD5 message digest (RFC 1321).
#pragma once

#include <windows.h>

namespace Basalt {

constexpr DWORD kMd5DigestSize = 16;

// An incremental MD5 computation: Update any number of times (empty input
// included), then Finish once to receive the 16 digest bytes.
class CMd5 {
  public:
    CMd5();
    void Update(const BYTE* data, size_t length);
    void Finish(BYTE (&digest)[kMd5DigestSize]);

  private:
    void Transform(const BYTE* block);

    DWORD state_[4];
    ULONGLONG bitCount_ = 0;
    BYTE buffer_[64] = {};
    size_t buffered_ = 0;
};

// 0 on success; -1 when `data` or `digest` is null, `length` is 0 or
// `digestSize` is not 16.
int ComputeMd5(const BYTE* data, size_t length, BYTE* digest, DWORD digestSize);

// 0 when the MD5 of `data` equals the 16 `expected` bytes; else -1 (also for
// the bad arguments of ComputeMd5).
int VerifyMd5(const BYTE* data, size_t length, const BYTE* expected, DWORD expectedSize);

}  // namespace Basalt
