// H.264 over RTP (RFC 6184, packetization mode 1): single NAL unit packets
// and FU-A fragments, with the stream's parameter sets ahead of every IDR.
#pragma once

#include <cstddef>
#include <cstdint>

enum {
	H264_PKTSIZE = 1200,  // RTP payload bytes: well under any path MTU
	H264_PARAM_MAX = 256,
};

// One RTP payload: `hdr` (0 or 2 bytes of FU-A header) then `pld`.
typedef int (h264_packet_h)(bool marker, uint32_t ts, const uint8_t *hdr,
			    size_t hdr_len, const uint8_t *pld, size_t pld_len,
			    void *arg);

// Sender state of one stream. Zero-initialised: nothing sent yet.
struct h264_tx {
	uint8_t sps[H264_PARAM_MAX];
	size_t sps_len;
	uint8_t pps[H264_PARAM_MAX];
	size_t pps_len;
	bool synced;  // an IDR has gone out; later frames can be decoded
	bool idr;     // the last unit sent held an IDR (decodable by itself)
	char profile[7];  // "profile-level-id" of the last sane SPS, or ""
};

// Sends one access unit (Annex B byte stream) with RTP timestamp `ts`.
// Units before the first IDR are dropped, since no decoder could use them.
int h264_send_au(struct h264_tx *tx, uint32_t ts, const uint8_t *au,
		 size_t len, size_t pktsize, h264_packet_h *pkth, void *arg);

// "profile-level-id" of the last SPS seen that parses as a sane one (a known
// profile, a real level), as 6 hex digits; false before one.
bool h264_profile_level_id(const struct h264_tx *tx, char out[7]);

// "profile-level-id" of the first sane SPS among Annex B parameter sets (as
// a session description carries them); false when there is none.
bool h264_params_profile(const uint8_t *params, size_t len, char out[7]);

// Whether `sps` (a NAL unit without start code) is a sequence parameter set
// with a known profile and level and sane fields up to the picture order type.
bool h264_sps_sane(const uint8_t *sps, size_t len);
