// Decoded audio is written where its timestamp says and read at the player's
// pace, so a loss is concealed once, where it happened, and the player never
// waits on the network. When nothing is there to play the reader holds its
// place ("held"): a late packet then plays (the delay grows by the wait), a
// lost one is skipped over by what was concealed for it. Twice a second the
// least slack of the packets that came decides whether to shrink or stretch
// the delay. It shrinks by cutting near-silence, or a whole pitch period
// where the sound repeats itself (crossfaded), so tones keep their pitch;
// only clock drift is taken by interpolation, too slow a rate to be heard.
#include "playout.h"

#include <pthread.h>
#include <re.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include <spandsp/telephony.h>
#include <spandsp/plc.h>

namespace {

// Durations in ms; p->ms samples each.
enum : int32_t {
	MAX_N = 48 * 60,
	WINDOW = 500,         // of output
	SAFETY = 8,           // slack kept against the loop's own lateness
	HYST = 10,
	DRIFT_DIV = 400,      // 0.25 % faster or slower: no pitch heard
	QUIET_MIN = 2,        // a stretch shorter than this is a zero crossing
	LAG_MIN = 3,          // pitch periods tried for a cut
	LAG_MAX = 15,
	XFADE = 3,
	DRIFT_FAR = 30,       // only an error this large is interpolated away
	CUT_DIV = 32,         // periods cut: at most 3 % of the sound played
	HOLD_MAX = 200,       // a pause: start afresh on the next packet
};

// Set by the module line, read by the players' threads.
std::atomic<bool> plc_on;

} // namespace

struct playout {
	pthread_mutex_t lock;
	struct playout_prm prm;
	int32_t ms;          // samples per ms
	int32_t ring;        // at least 2 s, a power of two
	uint32_t mask;
	plc_state_t plc;
	bool running;        // else filling, silent
	bool filled;         // filling: start and end hold
	bool sender;         // ssrc and shift hold
	bool have_ref;       // fixed: the slack to keep is known
	uint32_t ssrc;
	uint32_t shift;      // added to the sender's timestamps
	uint32_t start;      // filling: earliest timestamp
	uint32_t pos;        // running: next timestamp to play
	uint32_t end;        // past the newest sample received
	int32_t held;        // output already given for samples not yet come
	int32_t readn;       // the player's last read
	int32_t budget;      // <0: samples to drop, >0: to add
	int32_t drift;       // output counted towards the next drift step
	bool far;            // the budget is large enough to interpolate
	int32_t credit;      // samples of sound that may be cut
	int16_t last;        // the last sample played
	int32_t minslack;    // how early the packets came
	int32_t minspare;    // the same less any wait for them
	int32_t lastspare;   // the window before's
	int32_t ref;
	int32_t win;
	int16_t *pcm;
	uint8_t *have;
	int16_t span[MAX_N * 2];
};

namespace {

void destructor(void *arg)
{
	auto *p = static_cast<struct playout *>(arg);
	pthread_mutex_destroy(&p->lock);
	mem_deref(p->pcm);
	mem_deref(p->have);
}

int32_t diff(uint32_t a, uint32_t b)
{
	return (int32_t)(a - b);
}

void restart(struct playout *p)
{
	p->running = p->filled = p->have_ref = false;
	p->held = p->budget = p->drift = p->credit = 0;
	p->last = 0;
	p->far = false;
	p->minslack = p->minspare = p->lastspare = INT32_MAX;
	p->win = 0;
	memset(p->have, 0, (size_t)p->ring);
	plc_init(&p->plc);
}

void store(struct playout *p, uint32_t t, const int16_t *v, size_t n)
{
	for (size_t i = 0; i < n; ++i) {
		const uint32_t k = (t + (uint32_t)i) & p->mask;
		p->pcm[k] = v[i];
		p->have[k] = 1;
	}
	if (diff(t + (uint32_t)n, p->end) > 0)
		p->end = t + (uint32_t)n;
}

int32_t fill_target(const struct playout *p)
{
	return (int32_t)p->prm.min_ms * p->ms;
}

// Samples the reader missed or concealed: silence without the module.
void conceal(struct playout *p, int16_t *v, int32_t n)
{
	if (plc_on)
		plc_fillin(&p->plc, v, n);
	else
		memset(v, 0, (size_t)n * sizeof(int16_t));
}

// Once a window: the least slack seen (how early the packets that came
// were) above what is to be kept is dropped, a shortfall added, both spread
// over the next window. A lost packet is no sign of jitter and adds nothing.
void window_end(struct playout *p)
{
	p->win = 0;
	const int32_t slack = p->minslack;
	const int32_t now = p->minspare;
	p->minslack = p->minspare = INT32_MAX;
	if (slack == INT32_MAX)
		return;
	if (!p->prm.adaptive && !p->have_ref) {
		p->have_ref = true;
		p->ref = slack > SAFETY * p->ms ? slack : SAFETY * p->ms;
		return;
	}
	// Fixed keeps the slack it started with as long as that holds the
	// jitter; both grow when packets come later than they can wait.
	const int32_t least = p->prm.adaptive
				      ? (SAFETY + (int32_t)p->prm.min_ms) * p->ms
				      : SAFETY * p->ms;
	const int32_t most = p->prm.adaptive ? least : p->ref;
	// A wait has grown the delay already; it only keeps it from
	// shrinking. It shrinks by what two windows running could spare: a
	// stall every other second is not waited for anew each time.
	int32_t spare = now < p->lastspare ? now : p->lastspare;
	p->lastspare = now;
	// Stalls that keep coming grow it no further than the most it keeps.
	const int32_t over = slack - (int32_t)p->prm.max_ms * p->ms;
	if (over > spare - most)
		spare = most + over;
	if (spare > most + HYST * p->ms)
		p->budget = -(spare - most);
	else if (slack < least - HYST * p->ms)
		p->budget = least - slack;
	else
		p->budget = 0;
	p->far = p->budget > DRIFT_FAR * p->ms || p->budget < -DRIFT_FAR * p->ms;
}

bool silent(int16_t v)
{
	return v >= -64 && v <= 64;
}

// How many of the next samples, up to `n`, have come and are near silence.
int32_t quiet(const struct playout *p, int32_t n)
{
	int32_t k = 0;
	for (; k < n; ++k) {
		const uint32_t x = (p->pos + (uint32_t)k) & p->mask;
		if (!p->have[x] || !silent(p->pcm[x]))
			break;
	}
	return k;
}

bool present(const struct playout *p, int32_t n)
{
	for (int32_t k = 0; k < n; ++k)
		if (!p->have[(p->pos + (uint32_t)k) & p->mask])
			return false;
	return true;
}

// The longest whole number of periods, at most `most` samples, after which
// the sound from the read position repeats itself; 0 when none does.
int32_t period(const struct playout *p, int32_t most)
{
	const int32_t w = XFADE * p->ms, d = p->ms / 8;  // compared at 8 kHz
	int32_t best = 0;
	for (int32_t lag = LAG_MIN * p->ms; lag <= most; lag += d) {
		int64_t e = 0, s = 0;
		for (int32_t i = 0; i < w; i += d) {
			const int32_t a = p->pcm[(p->pos + (uint32_t)i) & p->mask];
			const int32_t b =
				p->pcm[(p->pos + (uint32_t)(lag + i)) & p->mask];
			e += (int64_t)(a - b) * (a - b);
			s += (int64_t)a * a + (int64_t)b * b;
		}
		if (e * 1000 <= s)  // the difference 27 dB below the sound
			best = lag;
	}
	return best;
}

// Drops `k` samples at the read position, the `w` after them faded in from
// what they replace.
void cut(struct playout *p, int32_t k, int32_t w)
{
	for (int32_t i = 0; i < w; ++i) {
		const uint32_t a = (p->pos + (uint32_t)i) & p->mask;
		const uint32_t b = (p->pos + (uint32_t)(k + i)) & p->mask;
		p->pcm[b] = (int16_t)((p->pcm[a] * (w - i) + p->pcm[b] * i) / w);
	}
	for (int32_t i = 0; i < k; ++i)
		p->have[(p->pos + (uint32_t)i) & p->mask] = 0;
	p->pos += (uint32_t)k;
	p->budget += k;
}

// Above its aim: a stretch of near-silence between quiet samples goes, or
// else a whole number of periods of a sound that repeats; neither is heard.
int32_t shrink(struct playout *p, int32_t n, int32_t avail)
{
	const int32_t most = avail - n < -p->budget ? avail - n : -p->budget;
	if (most <= 0)
		return 0;
	if (silent(p->last)) {
		const int32_t q = quiet(p, most > QUIET_MIN * p->ms
						   ? most
						   : QUIET_MIN * p->ms);
		if (q >= QUIET_MIN * p->ms) {
			const int32_t k = q < most ? q : most;
			cut(p, k, 0);
			return k;
		}
	}
	// Fixed keeps what it has heard it needs; only near-silence goes.
	if (!p->prm.adaptive)
		return 0;
	const int32_t w = XFADE * p->ms;
	int32_t lmax = most - w < LAG_MAX * p->ms ? most - w : LAG_MAX * p->ms;
	if (lmax > p->credit)
		lmax = p->credit;
	if (lmax < LAG_MIN * p->ms || !present(p, lmax + w))
		return 0;
	const int32_t k = period(p, lmax);
	if (k)
		cut(p, k, w);
	p->credit -= k;
	return k;
}

// `m` input samples (with concealment) into `n` output samples.
void scale(const int16_t *in, int32_t m, int16_t *out, int32_t n)
{
	if (m == n || n < 2 || m < 2) {
		for (int32_t j = 0; j < n; ++j)
			out[j] = in[j < m ? j : m - 1];
		return;
	}
	for (int32_t j = 0; j < n; ++j) {
		const int64_t x = (int64_t)j * (m - 1) * 65536 / (n - 1);
		const int32_t i = (int32_t)(x >> 16);
		const int32_t f = (int32_t)(x & 0xffff);
		const int32_t b = i + 1 < m ? in[i + 1] : in[i];
		out[j] = (int16_t)(in[i] + (((b - in[i]) * f) >> 16));
	}
}

} // namespace

int playout_alloc(struct playout **pp, const struct playout_prm *prm)
{
	if (!pp || !prm)
		return EINVAL;
	auto *p = static_cast<struct playout *>(
		mem_zalloc(sizeof(struct playout), destructor));
	if (!p)
		return ENOMEM;
	pthread_mutex_init(&p->lock, nullptr);
	p->prm = *prm;
	const uint32_t srate = prm->srate ? prm->srate : 8000;
	p->ms = (int32_t)(srate / 1000);
	if (srate % 1000 || p->ms < 8 || p->ms > 48) {
		mem_deref(p);
		return EINVAL;
	}
	p->ring = 1;
	while (p->ring < 2 * (int32_t)srate)
		p->ring <<= 1;
	p->mask = (uint32_t)p->ring - 1;
	p->pcm = static_cast<int16_t *>(
		mem_alloc((size_t)p->ring * sizeof(int16_t), nullptr));
	p->have = static_cast<uint8_t *>(mem_zalloc((size_t)p->ring, nullptr));
	if (!p->pcm || !p->have) {
		mem_deref(p);
		return ENOMEM;
	}
	if (p->prm.max_ms < p->prm.min_ms)
		p->prm.max_ms = p->prm.min_ms;
	if (p->prm.min_ms > 1000)
		p->prm.min_ms = 1000;
	restart(p);
	*pp = p;
	return 0;
}

void playout_put(struct playout *p, uint32_t ssrc, uint32_t ts,
		 const int16_t *pcm, size_t n)
{
	if (!p || !pcm || !n || n > MAX_N)
		return;
	pthread_mutex_lock(&p->lock);
	const bool busy = p->running || p->filled;
	if (!p->sender || ssrc != p->ssrc) {
		p->shift = busy ? p->end - ts : 0;
		p->sender = true;
		p->ssrc = ssrc;
	}
	uint32_t t = ts + p->shift;
	if (p->running) {
		int32_t d = diff(t, p->pos);
		if (d > p->ring / 2 || d < -p->ring / 2) {
			// A jump in the numbering: it plays on after what is here.
			p->shift += p->end - t;
			t = p->end;
			d = diff(t, p->pos);
		}
		// One too late to play still says how late they come, up to
		// the most the buffer may keep.
		if (d < p->ring - (int32_t)n && d > -(int32_t)p->prm.max_ms * p->ms) {
			if (d < p->minslack)
				p->minslack = d;
			// What the reader waited beyond a gap, unless no more
			// than the rounding of its reads.
			const int32_t wait = p->held - (d > 0 ? d : 0);
			const int32_t spare = wait > p->readn ? d - p->held : d;
			if (spare < p->minspare)
				p->minspare = spare;
		}
		if (d + (int32_t)n <= 0 || d >= p->ring - (int32_t)n) {
			pthread_mutex_unlock(&p->lock);
			return;  // too late, or beyond what the ring holds
		}
		const int32_t skip = d < 0 ? -d : 0;
		store(p, t + (uint32_t)skip, pcm + skip, n - (size_t)skip);
		pthread_mutex_unlock(&p->lock);
		return;
	}
	if (!p->filled || diff(t, p->start) < -p->ring / 4 ||
	    diff(t, p->end) > p->ring / 4) {
		memset(p->have, 0, (size_t)p->ring);
		p->filled = true;
		p->start = t;
		p->end = t;
	}
	else if (diff(t, p->start) < 0) {
		p->start = t;  // reordered: an earlier packet is kept
	}
	store(p, t, pcm, n);
	if (diff(p->end, p->start) >= fill_target(p)) {
		p->running = true;
		p->pos = p->start;
		p->held = 0;
	}
	pthread_mutex_unlock(&p->lock);
}

void playout_get(struct playout *p, int16_t *out, size_t nn)
{
	if (!p || !out || !nn || nn > MAX_N) {
		if (out)
			memset(out, 0, nn * sizeof(int16_t));
		return;
	}
	const int32_t n = (int32_t)nn;
	pthread_mutex_lock(&p->lock);
	p->readn = n;
	if (!p->running) {
		memset(out, 0, nn * sizeof(int16_t));
		pthread_mutex_unlock(&p->lock);
		return;
	}
	// What was concealed while holding stands for the samples lost.
	while (p->held > 0 && p->pos != p->end && !p->have[p->pos & p->mask]) {
		++p->pos;
		--p->held;
	}
	int32_t avail = diff(p->end, p->pos);
	if (avail > 0)
		p->held = 0;
	if (avail <= 0) {
		// The concealment fades out by itself and, counting what it
		// made, fades the next packet in: no edge when it comes.
		conceal(p, out, n);
		p->last = out[n - 1];
		p->held += n;
		if (p->held >= HOLD_MAX * p->ms)
			restart(p);  // everything received has been played
		pthread_mutex_unlock(&p->lock);
		return;
	}
	if (p->credit < (LAG_MAX + XFADE) * p->ms)
		p->credit += n / CUT_DIV;
	if (p->budget < 0)
		avail -= shrink(p, n, avail);
	// What is left to shrink or stretch goes at the rate of clock drift.
	int32_t m = n;
	p->drift += n;
	const int32_t step = p->far ? p->drift / DRIFT_DIV : 0;
	p->drift %= DRIFT_DIV;
	if (p->budget < 0) {
		const int32_t k = -p->budget < step ? -p->budget : step;
		m = n + k;
		p->budget += k;
	}
	else if (p->budget > 0) {
		const int32_t k = p->budget < step ? p->budget : step;
		m = n - k;
		p->budget -= k;
	}
	const int32_t take = avail < m ? avail : m;
	int32_t i = 0;
	while (i < take) {
		const bool good = p->have[(p->pos + (uint32_t)i) & p->mask];
		int32_t j = i;
		while (j < take &&
		       (bool)p->have[(p->pos + (uint32_t)j) & p->mask] == good)
			++j;
		int16_t *v = p->span + i;
		if (good) {
			for (int32_t k = i; k < j; ++k) {
				const uint32_t x = (p->pos + (uint32_t)k) & p->mask;
				v[k - i] = p->pcm[x];
			}
			plc_rx(&p->plc, v, j - i);
		}
		else {
			conceal(p, v, j - i);
		}
		i = j;
	}
	for (int32_t k = 0; k < take; ++k)
		p->have[(p->pos + (uint32_t)k) & p->mask] = 0;
	p->pos += (uint32_t)take;
	if (take < m) {
		// Ran out: the rest is concealed and its place held.
		conceal(p, p->span + take, m - take);
		p->held += m - take;
	}
	scale(p->span, m, out, n);
	p->last = out[n - 1];
	p->win += n;
	if (p->win >= WINDOW * p->ms)
		window_end(p);
	pthread_mutex_unlock(&p->lock);
}

int plc_module_init(void)
{
	plc_on = true;
	return 0;
}

void plc_module_close(void)
{
	plc_on = false;
}
