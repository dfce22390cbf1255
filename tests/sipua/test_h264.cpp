// The RFC 6184 packetizer: nothing before the first IDR, markers at the ends of
// frames, parameter sets ahead of an IDR that comes without them; the profile
// of a session description's parameter sets.
#include <gtest/gtest.h>

#include <vector>

#include "../../sipua/src/h264.h"

using Bytes = std::vector<uint8_t>;

TEST(H264, DropsUntilIdrFragmentsAndSendsParameterSetsAheadOfEveryIdr) {
  const Bytes sps = {0x67, 0x42, 0xc0, 0x15, 0xda}, pps = {0x68, 0xce, 0x3c, 0x80}, p = {0x41, 0x9a, 0x02};
  Bytes idr = {0x65};
  for (int i = 1; i < 3000; ++i) idr.push_back(uint8_t(i % 251 + 1));
  h264_tx tx{};
  std::vector<std::pair<bool, Bytes>> out;  // marker, payload
  auto send = [&](std::initializer_list<Bytes> nals) {
    Bytes au = {0};  // a 4-byte start code first, then 3-byte ones
    for (const Bytes &n : nals) {
      au.insert(au.end(), {0, 0, 1});
      au.insert(au.end(), n.begin(), n.end());
    }
    out.clear();
    auto collect = [](bool marker, uint32_t, const uint8_t *hdr, size_t hlen, const uint8_t *pld, size_t plen,
                      void *arg) {
      Bytes b(hdr, hdr + hlen);
      b.insert(b.end(), pld, pld + plen);
      static_cast<decltype(out) *>(arg)->push_back({marker, b});
      return 0;
    };
    return h264_send_au(&tx, 9000, au.data(), au.size(), H264_PKTSIZE, collect, &out);
  };
  using Out = std::vector<std::pair<bool, Bytes>>;
  char profile[7];

  EXPECT_EQ(send({p}), 0);
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(h264_profile_level_id(&tx, profile));  // none before the first SPS

  // SPS, PPS, then FU-A fragments of 1198 + 1198 + 603 bytes (that they give
  // the frame back and the profile offered: Calls.VideoCallsAndDirectGateCall).
  ASSERT_EQ(send({sps, pps, idr}), 0);
  EXPECT_EQ(out.size(), 5u);

  const Bytes small(idr.begin(), idr.begin() + 40);
  ASSERT_EQ(send({small}), 0);
  EXPECT_EQ(out, (Out{{false, sps}, {false, pps}, {true, small}}));
  ASSERT_EQ(send({p}), 0);
  EXPECT_EQ(out, (Out{{true, p}}));

  // A session description's parameter sets: the sane SPS after one of no
  // real level (42e0ff) names the profile.
  const Bytes params = {0, 0, 0, 1, 0x67, 0x42, 0xe0, 0xff, 0xda, 0, 0, 1, 0x67, 0x42, 0xc0, 0x15, 0xda,
                        0, 0, 1, 0x68, 0xce, 0x3c, 0x80};
  ASSERT_TRUE(h264_params_profile(params.data(), params.size(), profile));
  EXPECT_STREQ(profile, "42c015");
  EXPECT_FALSE(h264_params_profile(params.data(), 9, profile));
}
