// RFC 6184 packetizer for an Annex B byte stream.
#include "h264.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

enum {
	NAL_IDR = 5,
	NAL_SPS = 7,
	NAL_PPS = 8,
	NAL_FU_A = 28,
	FU_START = 0x80,
	FU_END = 0x40,
};

struct nal {
	const uint8_t *p;
	size_t len;
};

const uint8_t *find_start(const uint8_t *p, const uint8_t *end)
{
	for (; p + 3 <= end; ++p) {
		if (p[0] == 0 && p[1] == 0 && p[2] == 1)
			return p;
	}
	return end;
}

// The NAL unit at or after *cur (empty ones skipped); false at the end.
bool next_nal(const uint8_t **cur, const uint8_t *end, struct nal *n)
{
	for (;;) {
		const uint8_t *s = find_start(*cur, end);
		if (s == end)
			return false;
		const uint8_t *b = s + 3;
		const uint8_t *e = find_start(b, end);
		*cur = e;
		// Zeros before the next start code belong to it (00 00 00 01).
		while (e > b && e[-1] == 0)
			--e;
		if (e > b) {
			n->p = b;
			n->len = (size_t)(e - b);
			return true;
		}
	}
}

void keep(uint8_t *dst, size_t *dst_len, const struct nal *n)
{
	if (n->len > H264_PARAM_MAX)
		return;
	memcpy(dst, n->p, n->len);
	*dst_len = n->len;
}

// Exp-Golomb reader over an RBSP; a read past the end fails it for good.
struct bits {
	const uint8_t *p;
	size_t len, pos;
	bool bad;
};

unsigned bit(struct bits *b)
{
	if (b->pos >= b->len * 8) {
		b->bad = true;
		return 0;
	}
	const unsigned v = (b->p[b->pos / 8] >> (7 - b->pos % 8)) & 1;
	++b->pos;
	return v;
}

uint32_t ue(struct bits *b)
{
	int zeros = 0;
	while (!b->bad && !bit(b))
		if (++zeros > 31)
			b->bad = true;
	uint32_t v = 0;
	for (int i = 0; i < zeros && !b->bad; ++i)
		v = v << 1 | bit(b);
	return b->bad ? UINT32_MAX : (uint32_t)((1ull << zeros) - 1 + v);
}

bool known(uint8_t v, const uint8_t *set, size_t n)
{
	return memchr(set, v, n) != nullptr;
}

int send_nal(const uint8_t *p, size_t len, bool last, uint32_t ts,
	     size_t pktsize, h264_packet_h *pkth, void *arg)
{
	if (len <= pktsize)
		return pkth(last, ts, nullptr, 0, p, len, arg);

	// FU-A: the NAL header's NRI and type move into the two FU bytes.
	uint8_t hdr[2] = {(uint8_t)((p[0] & 0xe0) | NAL_FU_A),
			  (uint8_t)(FU_START | (p[0] & 0x1f))};
	const size_t max = pktsize - sizeof(hdr);
	++p;
	--len;
	int err = 0;
	while (!err && len) {
		const size_t n = len > max ? max : len;
		if (n == len)
			hdr[1] |= FU_END;
		err = pkth(last && n == len, ts, hdr, sizeof(hdr), p, n, arg);
		hdr[1] &= (uint8_t)~FU_START;
		p += n;
		len -= n;
	}
	return err;
}

} // namespace

int h264_send_au(struct h264_tx *tx, uint32_t ts, const uint8_t *au,
		 size_t len, size_t pktsize, h264_packet_h *pkth, void *arg)
{
	if (!tx || !au || !pkth || pktsize < 3)
		return EINVAL;
	const uint8_t *end = au + len;
	struct nal n;

	// Does an IDR start here, and does it bring its own SPS and PPS?
	bool idr = false, sps = false, pps = false, own_params = false;
	for (const uint8_t *cur = au; next_nal(&cur, end, &n);) {
		switch (n.p[0] & 0x1f) {
		case NAL_SPS:
			keep(tx->sps, &tx->sps_len, &n);
			if (h264_sps_sane(n.p, n.len))
				(void)snprintf(tx->profile, sizeof(tx->profile),
					       "%02x%02x%02x", n.p[1], n.p[2],
					       n.p[3]);
			sps = true;
			break;
		case NAL_PPS:
			keep(tx->pps, &tx->pps_len, &n);
			pps = true;
			break;
		case NAL_IDR:
			if (!idr)
				own_params = sps && pps;
			idr = true;
			break;
		default:
			break;
		}
	}
	tx->idr = idr;
	if (!idr && !tx->synced)
		return 0;
	tx->synced = true;

	bool params_due = idr && !own_params;
	int err = 0;
	for (const uint8_t *cur = au; !err && next_nal(&cur, end, &n);) {
		if (params_due && (n.p[0] & 0x1f) == NAL_IDR) {
			params_due = false;
			if (tx->sps_len)
				err |= pkth(false, ts, nullptr, 0, tx->sps,
					    tx->sps_len, arg);
			if (tx->pps_len)
				err |= pkth(false, ts, nullptr, 0, tx->pps,
					    tx->pps_len, arg);
		}
		const uint8_t *peek = cur;
		struct nal after;
		const bool last = !next_nal(&peek, end, &after);
		err |= send_nal(n.p, n.len, last, ts, pktsize, pkth, arg);
	}
	return err;
}

bool h264_profile_level_id(const struct h264_tx *tx, char out[7])
{
	if (!tx || !tx->profile[0])
		return false;
	memcpy(out, tx->profile, 7);
	return true;
}

bool h264_params_profile(const uint8_t *params, size_t len, char out[7])
{
	if (!params)
		return false;
	struct nal n;
	for (const uint8_t *cur = params; next_nal(&cur, params + len, &n);) {
		if ((n.p[0] & 0x1f) == NAL_SPS && h264_sps_sane(n.p, n.len)) {
			(void)snprintf(out, 7, "%02x%02x%02x", n.p[1], n.p[2],
				       n.p[3]);
			return true;
		}
	}
	return false;
}

bool h264_sps_sane(const uint8_t *sps, size_t len)
{
	static const uint8_t profiles[] = {66, 77, 88, 100, 110, 122, 244, 44,
					   83, 86, 118, 128, 138, 139, 134, 135};
	static const uint8_t high[] = {100, 110, 122, 244, 44, 83, 86, 118,
				       128, 138, 139, 134, 135};
	// Level 1b is 9 or 11 with constraint_set3; 11 is 1.1 too.
	static const uint8_t levels[] = {9,  10, 11, 12, 13, 20, 21, 22, 30, 31,
					 32, 40, 41, 42, 50, 51, 52, 60, 61, 62};
	if (!sps || len < 4 || (sps[0] & 0x9f) != NAL_SPS ||
	    !known(sps[1], profiles, sizeof(profiles)) ||
	    !known(sps[3], levels, sizeof(levels)))
		return false;
	// The RBSP: emulation prevention bytes (00 00 03) taken out.
	uint8_t rbsp[H264_PARAM_MAX];
	size_t n = 0;
	for (size_t i = 4, zeros = 0; i < len && n < sizeof(rbsp); ++i) {
		if (zeros >= 2 && sps[i] == 3) {
			zeros = 0;
			continue;
		}
		zeros = sps[i] ? 0 : zeros + 1;
		rbsp[n++] = sps[i];
	}
	struct bits b = {rbsp, n, 0, false};
	if (ue(&b) > 31)  // seq_parameter_set_id
		return false;
	if (known(sps[1], high, sizeof(high))) {
		const uint32_t chroma = ue(&b);
		if (chroma > 3)
			return false;
		if (chroma == 3)
			(void)bit(&b);  // separate_colour_plane_flag
		// Bit depths 8 to 14; what follows may be scaling lists.
		return ue(&b) <= 6 && ue(&b) <= 6 && !b.bad;
	}
	// log2_max_frame_num_minus4, pic_order_cnt_type
	return ue(&b) <= 12 && ue(&b) <= 2 && !b.bad;
}
