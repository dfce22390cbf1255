// What SRTP adds per packet on the panel's media path: libre's protect and
// unprotect (AES-CM with HMAC-SHA1-80, the suite the panel prefers) of a
// 20 ms PCMU packet and of a full-size H.264 packet, each timed over 1,000
// packets of one stream; the figure is the time per packet.
#include "figures.h"

namespace {

// Per-packet times in microseconds for `payload` bytes: protect, unprotect.
bool Measure(const char *name, size_t payload) {
  uint8_t key[30];
  for (size_t i = 0; i < sizeof key; ++i) key[i] = uint8_t(i * 7 + 1);
  struct srtp *tx = nullptr, *rx = nullptr;
  if (srtp_alloc(&tx, SRTP_AES_CM_128_HMAC_SHA1_80, key, sizeof key, 0) ||
      srtp_alloc(&rx, SRTP_AES_CM_128_HMAC_SHA1_80, key, sizeof key, 0))
    return false;
  std::vector<double> enc, dec;
  bool ok = true;
  mbuf *mb = mbuf_alloc(payload + 64);
  for (int round = 0; round < 21 && ok; ++round) {  // the first warms up
    double encMs = 0, decMs = 0;
    for (uint16_t k = 0; k < 1000 && ok; ++k) {
      const uint16_t seq = uint16_t(round * 1000 + k);
      const uint8_t hdr[12] = {0x80, 0, uint8_t(seq >> 8), uint8_t(seq), 0, 0, 0, 0, 1, 2, 3, 4};
      mbuf_rewind(mb);
      mbuf_write_mem(mb, hdr, sizeof hdr);
      mbuf_fill(mb, 0x55, payload);
      mb->pos = 0;
      double t = MonotonicMs();
      ok = !srtp_encrypt(tx, mb);
      encMs += MonotonicMs() - t;
      mb->pos = 0;
      t = MonotonicMs();
      ok = ok && !srtp_decrypt(rx, mb);
      decMs += MonotonicMs() - t;
    }
    if (round) enc.push_back(encMs);  // ms per 1,000 packets = us per packet
    if (round) dec.push_back(decMs);
  }
  mem_deref(mb);
  mem_deref(tx);
  mem_deref(rx);
  if (!ok) return false;
  Figure(std::string("srtp_protect_") + name, enc, "us");
  Figure(std::string("srtp_unprotect_") + name, dec, "us");
  return true;
}

}  // namespace

int main() {
  printf("# SRTP per packet, 20 rounds of 1,000 packets\n");
  return Measure("pcmu_160", 160) && Measure("h264_1200", 1200) ? 0 : 1;
}
