// The RFC 6184 packetizer on a made-up stream: what a decoder joining at any
// IDR needs, fragments that put the NAL unit back together, markers at the
// ends of frames.
#include <gtest/gtest.h>

#include <vector>

#include "../../sipua/src/h264.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Packet {
  bool marker;
  uint32_t ts;
  Bytes bytes;
};

int Collect(bool marker, uint32_t ts, const uint8_t *hdr, size_t hdr_len, const uint8_t *pld, size_t pld_len,
            void *arg) {
  Bytes b(hdr, hdr + hdr_len);
  b.insert(b.end(), pld, pld + pld_len);
  static_cast<std::vector<Packet> *>(arg)->push_back({marker, ts, b});
  return 0;
}

}  // namespace

TEST(H264, DropsUntilIdrFragmentsAndSendsParameterSetsAheadOfEveryIdr) {
  const Bytes sps = {0x67, 0x42, 0xc0, 0x15, 0xda}, pps = {0x68, 0xce, 0x3c, 0x80}, p = {0x41, 0x9a, 0x02};
  Bytes idr = {0x65};
  for (int i = 1; i < 3000; ++i) idr.push_back(uint8_t(i % 251 + 1));
  auto unit = [](std::initializer_list<Bytes> nals) {  // a 4-byte start code first, then 3-byte ones
    Bytes au = {0};
    for (const Bytes &n : nals) {
      au.insert(au.end(), {0, 0, 1});
      au.insert(au.end(), n.begin(), n.end());
    }
    return au;
  };
  h264_tx tx{};
  std::vector<Packet> out;
  auto send = [&](const Bytes &au, uint32_t ts) {
    out.clear();
    return h264_send_au(&tx, ts, au.data(), au.size(), H264_PKTSIZE, Collect, &out);
  };

  // A decoder could not use a frame before the first IDR.
  EXPECT_EQ(send(unit({p}), 1000), 0);
  EXPECT_TRUE(out.empty());
  char profile[7];
  EXPECT_FALSE(h264_profile_level_id(&tx, profile));

  ASSERT_EQ(send(unit({sps, pps, idr}), 4000), 0);
  ASSERT_EQ(out.size(), 5u);  // SPS, PPS, three FU-A fragments of 1198 + 1198 + 603 bytes
  EXPECT_EQ(out[0].bytes, sps);
  EXPECT_EQ(out[1].bytes, pps);
  Bytes joined = {0x65};
  for (size_t i = 2; i < 5; ++i) {
    EXPECT_EQ(out[i].bytes[0], 0x7c);  // NRI of the slice, type 28
    EXPECT_EQ(out[i].bytes[1], (i == 2 ? 0x80 : i == 4 ? 0x40 : 0) | 0x05);
    EXPECT_LE(out[i].bytes.size(), size_t(H264_PKTSIZE));
    joined.insert(joined.end(), out[i].bytes.begin() + 2, out[i].bytes.end());
  }
  EXPECT_EQ(joined, idr);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(out[i].marker, i == 4) << i;
  EXPECT_TRUE(h264_profile_level_id(&tx, profile));
  EXPECT_STREQ(profile, "42c015");

  // An IDR that comes alone gets the parameter sets kept from before.
  const Bytes small(idr.begin(), idr.begin() + 40);
  ASSERT_EQ(send(unit({small}), 7600), 0);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].bytes, sps);
  EXPECT_EQ(out[1].bytes, pps);
  EXPECT_EQ(out[2].bytes, small);
  EXPECT_TRUE(out[2].marker && out[2].ts == 7600);

  ASSERT_EQ(send(unit({p}), 11200), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bytes, p);
  EXPECT_TRUE(out[0].marker);
}
