// The fixed initial tables of the Blowfish cipher.
#pragma once

#include <cstdint>

namespace Cabinet {

constexpr int kBlowfishRounds = 16;

extern const std::uint32_t kBlowfishInitP[kBlowfishRounds + 2];
extern const std::uint32_t kBlowfishInitS[4][256];

}  // namespace Cabinet
