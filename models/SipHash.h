// SPDX-License-Identifier: BSD-3-Clause
// SipHash-2-4 (Aumasson and Bernstein): the keyed 64-bit MAC with which the secure firmware model
// authenticates signed requests, and the helper that tools and tests use to sign them.
#pragma once

#include <stdint.h>

namespace models {

// The 128-bit key as two little-endian 64-bit halves: K0 holds key bytes 0..7, K1 bytes 8..15.
struct SipHashKey {
  uint64_t K0;
  uint64_t K1;
};

// Key from its sixteen bytes in order, as the reference presentation writes keys.
SipHashKey SipHashKeyFromBytes(const uint8_t (&Bytes)[16]);

// SipHash-2-4 of Length bytes at Data (Data may be null when Length is 0).
uint64_t SipHash24(const SipHashKey &Key, const void *Data, uint64_t Length);

// The MAC that the secure firmware model expects in AuthInfo for the signed part Bytes[0..Length).
inline uint64_t ComputeRequestMac(const SipHashKey &Key, const void *Bytes, uint64_t Length) {
  return SipHash24(Key, Bytes, Length);
}

}  // namespace models
