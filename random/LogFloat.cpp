#include "random/LogFloat.h"

#include "random/LogFloatKernel.h"

#include <bit>
#include <cstdint>
#include <limits>

namespace LogFloatKernel {

// Entry i covers the reduced significands z whose float bits lie in
// [kOffset + i 2^16, kOffset + (i + 1) 2^16). inverse is 1/c rounded to 29
// significant bits, c being the interval's midpoint, except for the two
// intervals that meet at 1, which take inverse 1 and ln 0; lnHigh + lnLow is
// -ln(inverse) to 106 bits (computed with 300-bit arithmetic).
alignas(32) const Entry kTable[1 << kTableBits] = {
    {0x1.6d1a627000000p+0, -0x1.6b85b4e61a3fdp-2, 0x1.a98b08da8bdf2p-57, 0.0},
    {0x1.6b1490b000000p+0, -0x1.65d558e52e00bp-2, 0x1.7e66c4746da23p-56, 0.0},
    {0x1.691473b000000p+0, -0x1.602d08c4291ecp-2, 0x1.a651a0bfd70cbp-58, 0.0},
    {0x1.6719f36000000p+0, -0x1.5a8cadbbadfa1p-2, 0x1.e6c4bdfb3e039p-58, 0.0},
    {0x1.6524f85000000p+0, -0x1.54f431ad1e1a9p-2, 0x1.ae56fbbdb1d09p-56, 0.0},
    {0x1.63356b9000000p+0, -0x1.4f637ed0c9810p-2, 0x1.66bd5124880a8p-56, 0.0},
    {0x1.614b368000000p+0, -0x1.49da7f32cc41fp-2, 0x1.9e74a168d444ap-57, 0.0},
    {0x1.5f66434000000p+0, -0x1.44591dfdb9f49p-2, 0x1.2cd45247b32cdp-56, 0.0},
    {0x1.5d867c4000000p+0, -0x1.3edf463f9683ep-2, -0x1.837480d3c1417p-56, 0.0},
    {0x1.5babcc6000000p+0, -0x1.396ce34c7bf54p-2, 0x1.e41d31b34f017p-58, 0.0},
    {0x1.59d61f1000000p+0, -0x1.3401e1244cba1p-2, 0x1.d2d238a47a7adp-58, 0.0},
    {0x1.5805601000000p+0, -0x1.2e9e2bbdb2286p-2, 0x1.2becb89af4047p-63, 0.0},
    {0x1.56397ba000000p+0, -0x1.2941af9a46b7cp-2, 0x1.a73761c5985eep-57, 0.0},
    {0x1.54725e7000000p+0, -0x1.23ec599ecba49p-2, -0x1.6893d1ae91614p-60, 0.0},
    {0x1.52aff57000000p+0, -0x1.1e9e1689299f4p-2, -0x1.48891749b9d39p-56, 0.0},
    {0x1.50f22e1000000p+0, -0x1.1956d3b65c2fap-2, -0x1.7b4248d509e29p-56, 0.0},
    {0x1.4f38f63000000p+0, -0x1.14167efa07783p-2, -0x1.88cb6abdb093cp-62, 0.0},
    {0x1.4d843bf000000p+0, -0x1.0edd061258081p-2, 0x1.95a8def27f4e0p-57, 0.0},
    {0x1.4bd3ede000000p+0, -0x1.09aa573fac6d4p-2, -0x1.3129e686ba4d1p-57, 0.0},
    {0x1.4a27fad000000p+0, -0x1.047e60b7083b8p-2, 0x1.17d38340a0235p-56, 0.0},
    {0x1.4880522000000p+0, -0x1.feb2233e207cdp-3, -0x1.8dd00938b4c35p-61, 0.0},
    {0x1.46dce34000000p+0, -0x1.f474b111df229p-3, 0x1.4e0f7dede6523p-58, 0.0},
    {0x1.453d9e3000000p+0, -0x1.ea444a068aaf5p-3, 0x1.daf559ab85af9p-57, 0.0},
    {0x1.43a2731000000p+0, -0x1.e020cc8375ab5p-3, -0x1.dc180dd817d7bp-58, 0.0},
    {0x1.420b526000000p+0, -0x1.d60a17d383515p-3, 0x1.d6d8841ab661cp-57, 0.0},
    {0x1.40782d1000000p+0, -0x1.cc000c97f3c52p-3, -0x1.534d142803559p-57, 0.0},
    {0x1.3ee8f43000000p+0, -0x1.c2028ad5bf9b4p-3, -0x1.dc92638578655p-57, 0.0},
    {0x1.3d5d992000000p+0, -0x1.b811732e023d2p-3, -0x1.0c26735f4acdcp-60, 0.0},
    {0x1.3bd60d9000000p+0, -0x1.ae2ca6e832bd4p-3, -0x1.a83069ea9cc41p-57, 0.0},
    {0x1.3a52438000000p+0, -0x1.a45407fc6ab05p-3, -0x1.91007dc47dc71p-58, 0.0},
    {0x1.38d22d3000000p+0, -0x1.9a8778b4faa38p-3, -0x1.d941bd86c0c65p-57, 0.0},
    {0x1.3755bd2000000p+0, -0x1.90c6dbb64bcd9p-3, -0x1.fab6e728535cfp-58, 0.0},
    {0x1.35dce60000000p+0, -0x1.8712139d0e994p-3, -0x1.bd85f35f3d7f5p-57, 0.0},
    {0x1.34679ad000000p+0, -0x1.7d6903d835ad0p-3, 0x1.b7580c074f66dp-59, 0.0},
    {0x1.32f5ced000000p+0, -0x1.73cb9048bd14dp-3, 0x1.70b2400bbdc18p-57, 0.0},
    {0x1.3187759000000p+0, -0x1.6a399db4fd383p-3, -0x1.94dcebd4b449cp-57, 0.0},
    {0x1.301c82b000000p+0, -0x1.60b3102449476p-3, 0x1.6f12a3e0262a6p-58, 0.0},
    {0x1.2eb4ea2000000p+0, -0x1.5737cc9098cddp-3, -0x1.4f4c710fec38ep-57, 0.0},
    {0x1.2d50a01000000p+0, -0x1.4dc7b8847c1c8p-3, 0x1.9847878045a91p-57, 0.0},
    {0x1.2bef98e000000p+0, -0x1.4462b9b61b3dcp-3, 0x1.90ee46c21ad4bp-58, 0.0},
    {0x1.2a91c93000000p+0, -0x1.3b08b67abf2a9p-3, -0x1.6d64cdf053e8ap-60, 0.0},
    {0x1.293725c000000p+0, -0x1.31b994f2a4f85p-3, 0x1.e2796bdf7337ep-58, 0.0},
    {0x1.27dfa39000000p+0, -0x1.28753be9daba5p-3, 0x1.7d8719f9db152p-57, 0.0},
    {0x1.268b37d000000p+0, -0x1.1f3b927165d41p-3, -0x1.4df8ef93ba6e5p-59, 0.0},
    {0x1.2539d7f000000p+0, -0x1.160c8054f27b1p-3, 0x1.51b73f61307cbp-57, 0.0},
    {0x1.23eb797000000p+0, -0x1.0ce7ecd28c28dp-3, 0x1.6ace4055ddfc9p-57, 0.0},
    {0x1.22a0123000000p+0, -0x1.03cdc0cf5ec0dp-3, -0x1.1dfe93f91a04ap-57, 0.0},
    {0x1.2157980000000p+0, -0x1.f57bc799005dbp-4, 0x1.b361575007a38p-58, 0.0},
    {0x1.2012012000000p+0, -0x1.e3707ee20487bp-4, -0x1.09caecd579d98p-58, 0.0},
    {0x1.1ecf43c000000p+0, -0x1.d179781019364p-4, -0x1.a53efbe74c8d4p-60, 0.0},
    {0x1.1d8f567000000p+0, -0x1.bf9687407ca11p-4, 0x1.e8b2f6f62214ap-59, 0.0},
    {0x1.1c522fc000000p+0, -0x1.adc77ecbaea8cp-4, -0x1.3290f39be8acep-58, 0.0},
    {0x1.1b17c68000000p+0, -0x1.9c0c32e0d2548p-4, -0x1.f8cbe3ccc2732p-59, 0.0},
    {0x1.19e011a000000p+0, -0x1.8a6477c61dc29p-4, 0x1.03d390a47a51ap-58, 0.0},
    {0x1.18ab084000000p+0, -0x1.78d022c9d82d3p-4, -0x1.5a825b5134fa0p-58, 0.0},
    {0x1.1778a19000000p+0, -0x1.674f0879e5a7ap-4, 0x1.9fe20b33fe638p-58, 0.0},
    {0x1.1648d51000000p+0, -0x1.55e1005460384p-4, 0x1.4612561c68be2p-58, 0.0},
    {0x1.151b9a4000000p+0, -0x1.4485e03fbdfadp-4, -0x1.1b9b49aadbc79p-58, 0.0},
    {0x1.13f0e8d000000p+0, -0x1.333d7f5103f4bp-4, -0x1.96ca7c8ed1e81p-58, 0.0},
    {0x1.12c8b8a000000p+0, -0x1.2207b5d88549ep-4, 0x1.ce51bce103514p-58, 0.0},
    {0x1.11a301a000000p+0, -0x1.10e45b8fae831p-4, 0x1.da7328d0d8477p-58, 0.0},
    {0x1.107fbbe000000p+0, -0x1.ffa69118b9301p-5, 0x1.cda31f95c2eefp-59, 0.0},
    {0x1.0f5edfb000000p+0, -0x1.dda8ae577ee4ep-5, -0x1.f89730e079bcap-60, 0.0},
    {0x1.0e40656000000p+0, -0x1.bbcec0b48f420p-5, -0x1.5a39d0bf49767p-63, 0.0},
    {0x1.0d24456000000p+0, -0x1.9a187af13de7cp-5, 0x1.9b1a26c8c1973p-59, 0.0},
    {0x1.0c0a787000000p+0, -0x1.78859682577bap-5, -0x1.23ae898eee0adp-59, 0.0},
    {0x1.0af2f72000000p+0, -0x1.5715c4663ceefp-5, 0x1.1d444762f781bp-60, 0.0},
    {0x1.09ddba7000000p+0, -0x1.35c8c0451306bp-5, 0x1.cb84c29498dbap-61, 0.0},
    {0x1.08cabb3000000p+0, -0x1.149e3d5d05a8dp-5, 0x1.1e1b0b4b9f489p-59, 0.0},
    {0x1.07b9f2a000000p+0, -0x1.e72bf3953ce51p-6, -0x1.c1d88b2eece10p-61, 0.0},
    {0x1.06ab59c000000p+0, -0x1.a55f52b45c43fp-6, 0x1.38196826a6557p-60, 0.0},
    {0x1.059eea0000000p+0, -0x1.63d615c690bd6p-6, 0x1.a0ed4d3ca1f1fp-60, 0.0},
    {0x1.04949cc000000p+0, -0x1.228fb1a6a2e28p-6, 0x1.ebbb66e037e18p-61, 0.0},
    {0x1.038c6b8000000p+0, -0x1.c3173c2c75f05p-7, -0x1.bf6208d3b14cap-61, 0.0},
    {0x1.02864fc000000p+0, -0x1.41929be6832efp-7, 0x1.2b917f7572dcdp-61, 0.0},
    {0x1.0182436000000p+0, -0x1.81211c3586b53p-8, -0x1.040973e79f084p-62, 0.0},
    {0x1.0000000000000p+0, 0x0.0p+0, 0x0.0p+0, 0.0},
    {0x1.0000000000000p+0, 0x0.0p+0, 0x0.0p+0, 0.0},
    {0x1.fa11caa000000p-1, 0x1.7dc4760010a77p-7, -0x1.16b7687d3df0bp-62, 0.0},
    {0x1.f6310ad000000p-1, 0x1.3cea43726a575p-6, 0x1.95256fafa2e19p-66, 0.0},
    {0x1.f25f644000000p-1, 0x1.b9fc02c2f9198p-6, -0x1.a39a48a58c19ep-66, 0.0},
    {0x1.ee9c7f8000000p-1, 0x1.1b0d98da3d980p-5, -0x1.c12e889b6f881p-60, 0.0},
    {0x1.eae807b000000p-1, 0x1.58a5bab38e4d5p-5, -0x1.b984c2b5025fap-59, 0.0},
    {0x1.e741aa6000000p-1, 0x1.95c8307e8e3ecp-5, -0x1.db1b17fb4b921p-59, 0.0},
    {0x1.e3a917a000000p-1, 0x1.d276b887b0b52p-5, 0x1.34cc53256df7cp-61, 0.0},
    {0x1.e01e01e000000p-1, 0x1.0759835a8e471p-4, 0x1.80de5333c45bbp-59, 0.0},
    {0x1.dca01dd000000p-1, 0x1.253f62bd21417p-4, -0x1.d676590a30e40p-64, 0.0},
    {0x1.d92f223000000p-1, 0x1.42edcbfae46f0p-4, 0x1.e215f9359c594p-59, 0.0},
    {0x1.d5cac80000000p-1, 0x1.60658ad3750c4p-4, -0x1.188458ebcc614p-58, 0.0},
    {0x1.d272ca4000000p-1, 0x1.7da766d5b12cdp-4, -0x1.eee5fcdd9413bp-58, 0.0},
    {0x1.cf26e5c000000p-1, 0x1.9ab42488033adp-4, -0x1.0a09e1c1612f9p-59, 0.0},
    {0x1.cbe6d96000000p-1, 0x1.b78c82bc0eda1p-4, 0x1.0888cf0327e2bp-61, 0.0},
    {0x1.c8b265b000000p-1, 0x1.d4313d644b35dp-4, 0x1.791a5951d90e5p-58, 0.0},
    {0x1.c5894d1000000p-1, 0x1.f0a30c08962a6p-4, 0x1.8663a5c5bbcffp-58, 0.0},
    {0x1.c26b539000000p-1, 0x1.06715139e596ep-3, 0x1.5642c7eb8c586p-58, 0.0},
    {0x1.bf583ef000000p-1, 0x1.14785823b42acp-3, 0x1.b56653e3714cep-57, 0.0},
    {0x1.bc4fd66000000p-1, 0x1.2266f16e25accp-3, -0x1.f81f40e82b8f6p-57, 0.0},
    {0x1.b951e2b000000p-1, 0x1.303d719587fd3p-3, -0x1.370c7d95e95e0p-63, 0.0},
    {0x1.b65e2e4000000p-1, 0x1.3dfc2afbcc62ap-3, -0x1.9ff28e7d92de2p-58, 0.0},
    {0x1.b37484b000000p-1, 0x1.4ba36f2de55e5p-3, 0x1.6ac05bcc3458ap-57, 0.0},
    {0x1.b094b32000000p-1, 0x1.59338d8e02086p-3, -0x1.61b02aa8b172dp-58, 0.0},
    {0x1.adbe880000000p-1, 0x1.66acd4072ad51p-3, -0x1.d201c9c47fc0fp-59, 0.0},
    {0x1.aaf1d30000000p-1, 0x1.740f8f30037a5p-3, -0x1.89e4062afe4dbp-58, 0.0},
    {0x1.a82e651000000p-1, 0x1.815c0a22f57ebp-3, -0x1.4518007397faep-58, 0.0},
    {0x1.a574107000000p-1, 0x1.8e928e0846d41p-3, -0x1.46dd451a2cca5p-57, 0.0},
    {0x1.a2c2a88000000p-1, 0x1.9bb362d5dfb83p-3, 0x1.5c6e31effc48cp-57, 0.0},
    {0x1.a01a01a000000p-1, 0x1.a8becfc902f19p-3, -0x1.e8c17918c39eap-58, 0.0},
    {0x1.9d79f17000000p-1, 0x1.b5b51a0a3b5a4p-3, 0x1.cb6e3dc1cdf75p-57, 0.0},
    {0x1.9ae24ea000000p-1, 0x1.c2968573418c1p-3, -0x1.68e5e38a277b8p-57, 0.0},
    {0x1.9852f0e000000p-1, 0x1.cf6354bd1c5dcp-3, 0x1.374b07d521286p-57, 0.0},
    {0x1.95cbb0c000000p-1, 0x1.dc1bca01bec7dp-3, 0x1.849051998a7ccp-57, 0.0},
    {0x1.934c680000000p-1, 0x1.e8c0250aa5a60p-3, -0x1.2e03a39ca7345p-59, 0.0},
    {0x1.90d4f12000000p-1, 0x1.f550a56537b37p-3, 0x1.c606dfd018c42p-61, 0.0},
    {0x1.8e6527b000000p-1, 0x1.00e6c4587501dp-2, -0x1.cb3b28ff700e8p-57, 0.0},
    {0x1.8bfce80000000p-1, 0x1.071b860cd590dp-2, 0x1.f1707f98133d5p-58, 0.0},
    {0x1.899c0f6000000p-1, 0x1.0d46b579eb74bp-2, 0x1.03ed81c3cbd93p-57, 0.0},
    {0x1.87427bd000000p-1, 0x1.1368701eda8b0p-2, 0x1.7ec3498ed753ap-56, 0.0},
    {0x1.84f00c2000000p-1, 0x1.1980d2f10236fp-2, 0x1.a96d9b0e75341p-56, 0.0},
    {0x1.82a4a02000000p-1, 0x1.1f8ff9cfca2f3p-2, -0x1.bc8979a0f338ap-56, 0.0},
    {0x1.8060180000000p-1, 0x1.2596011df763ap-2, -0x1.deed8ae041291p-59, 0.0},
    {0x1.7e22551000000p-1, 0x1.2b9303baa9d25p-2, -0x1.82453fd840a7dp-56, 0.0},
    {0x1.7beb392000000p-1, 0x1.31871c9d04185p-2, -0x1.33a4c4c0746d4p-60, 0.0},
    {0x1.79baa6c000000p-1, 0x1.3772661f7d85bp-2, -0x1.8e529d81693fcp-59, 0.0},
    {0x1.7790812000000p-1, 0x1.3d54fa4adf710p-2, -0x1.d9d9dc6a3754cp-56, 0.0},
    {0x1.756cac2000000p-1, 0x1.432ef2a08e814p-2, -0x1.29929715ac903p-56, 0.0},
    {0x1.734f0c5000000p-1, 0x1.4900680f609d1p-2, -0x1.97e5f41f0828ep-57, 0.0},
    {0x1.713786e000000p-1, 0x1.4ec97314c026ap-2, -0x1.395bfd979881dp-56, 0.0},
    {0x1.6f26017000000p-1, 0x1.548a2c387d263p-2, -0x1.8142b7e309017p-57, 0.0},
};

} // namespace LogFloatKernel

float LogFloat(float x) {
    const uint32_t bits = std::bit_cast<uint32_t>(x);
    // Positive, normal and finite: the common case.
    if (bits - 0x00800000u < 0x7F000000u) return LogFloatKernel::FromBits(static_cast<int32_t>(bits));
    if ((bits & 0x7FFFFFFFu) == 0) return -std::numeric_limits<float>::infinity();
    if ((bits & 0x7FFFFFFFu) > 0x7F800000u) return x + x; // NaN, quietened
    if (bits & 0x80000000u) return std::numeric_limits<float>::quiet_NaN();
    if (bits == 0x7F800000u) return x;
    // Subnormal: normalise in integers, since a processor flushing subnormals
    // to zero would lose them in float arithmetic.
    const int shift = std::countl_zero(bits) - 8;
    const uint32_t significand = bits << shift;
    return LogFloatKernel::FromBits(static_cast<int32_t>(significand & 0x007FFFFFu) + (1 - shift) * (1 << 23));
}

namespace {

#if SIMD_X86
SIMD_TARGET_AVX2 size_t LogFloatArrayAvx2(const float* in, float* out, size_t count) {
    size_t i = 0;
    const __m256i lowest = _mm256_set1_epi32(0x00800000);
    const __m256i span = _mm256_set1_epi32(0x7EFFFFFF);
    for (; i + 8 <= count; i += 8) {
        const __m256 x = _mm256_loadu_ps(in + i);
        // Every lane positive, normal and finite: bits - 0x00800000 <= 0x7EFFFFFF, unsigned.
        const __m256i t = _mm256_sub_epi32(_mm256_castps_si256(x), lowest);
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(_mm256_max_epu32(t, span), span)) == -1) {
            _mm256_storeu_ps(out + i, LogFloatKernel::LogAvx2(x));
        } else {
            for (size_t j = i; j < i + 8; ++j) out[j] = LogFloat(in[j]);
        }
    }
    return i;
}

SIMD_TARGET_AVX512 size_t LogFloatArrayAvx512(const float* in, float* out, size_t count) {
    size_t i = 0;
    const __m512i lowest = _mm512_set1_epi32(0x00800000);
    const __m512i span = _mm512_set1_epi32(0x7EFFFFFF);
    for (; i + 16 <= count; i += 16) {
        const __m512 x = _mm512_loadu_ps(in + i);
        const __m512i t = _mm512_sub_epi32(_mm512_castps_si512(x), lowest);
        if (_mm512_cmpgt_epu32_mask(t, span) == 0) {
            _mm512_storeu_ps(out + i, LogFloatKernel::LogAvx512(x));
        } else {
            for (size_t j = i; j < i + 16; ++j) out[j] = LogFloat(in[j]);
        }
    }
    return i;
}
#endif

} // namespace

void LogFloatArray(const float* in, float* out, size_t count) {
    size_t done = 0;
#if SIMD_X86
    if (SelectedSimdPath() == SimdPath::Avx512)
        done = LogFloatArrayAvx512(in, out, count);
    else if (SelectedSimdPath() == SimdPath::Avx2)
        done = LogFloatArrayAvx2(in, out, count);
#endif
    for (size_t i = done; i < count; ++i) out[i] = LogFloat(in[i]);
}
