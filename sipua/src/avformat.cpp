// Video source on libavformat. Connecting, reading and packetizing run on
// the source's own thread, so a slow, dead or hostile camera never holds up
// the SIP loop; the RTP payloads reach the loop through a locked queue and an
// mqueue wake-up, and the loop sends them a burst per turn. No libre object
// is touched off the loop thread (libre 1.1.0 has no re_thread_async). A stop
// does not wait for the thread either: it ends by itself soon after
// (libavformat polls the interrupt callback while it waits), and the
// module's close waits for the last ones.
//
// The camera is not trusted either: only its first H.264 video stream is
// read, libavformat's allocations are capped, a unit over UNIT_MAX is
// dropped, and the handshake has a deadline and a budget of reads.
#include "avformat.h"

#include "camera_probe.h"
#include "core.h"
#include "h264.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/version_major.h>
#include <libavutil/log.h>
}

#include <dlfcn.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

enum {
	BACKOFF_MIN_MS = 500,
	BACKOFF_MAX_MS = 8000,
	QUEUE_MAX = 50,         // two seconds of video: the loop is stuck
	QUEUE_BYTES = 4 << 20,  // or this much waiting for it
	HANDSHAKE_MS = 3000,    // connecting, DESCRIBE, SETUP and PLAY
	// Reply lines are read a byte at a time and every read polls the
	// interrupt callback: this bounds the bytes of a handshake's headers
	// (a real one needs one or two thousand), so a camera that never ends its
	// reply costs milliseconds, not the whole deadline, per attempt.
	HANDSHAKE_POLLS = 16 * 1024,
	FIRST_PACKET_MS = 2000, // after the PLAY
	SILENCE_MS = 3000,      // a camera silent this long is gone
	CLOSE_GRACE_MS = 200,   // for the TEARDOWN
	UNIT_MAX = 2 << 20,     // an access unit larger than this is dropped
	// Any single allocation of libavformat (a reply body, the parser's
	// frame buffer): above UNIT_MAX, so that a large unit reaches us
	// whole and is dropped with a word, not cut up by a failed buffer.
	ALLOC_MAX = 16 << 20,
	DROP_LOG_MS = 10000,    // one line per this while units are dropped
	BURST = 32,             // RTP packets sent per turn of the loop
	// The picture group kept for a late joiner or a lost picture: from the
	// last IDR on, at most this many units and bytes (ten seconds at 30
	// frames a second, or at 4 Mbit/s). A longer group is not kept at all
	// until the next IDR: without its IDR, the rest decodes to nothing.
	GOP_UNITS = 300,
	GOP_BYTES = 6 << 20,
	// A peer asking again and again gets the group once per this.
	REFRESH_MIN_MS = 250,
	// The group goes out again this many times faster than the call's
	// bitrate or the group's own, whichever is higher, and at least
	// REPLAY_MIN_BPS (a whole group at once would overrun the peer's
	// socket), a pacing step every REPLAY_STEP_MS.
	REPLAY_SPEEDUP = 8,
	REPLAY_MIN_BPS = 4000000,
	REPLAY_MAX_BPS = 100000000,
	REPLAY_STEP_MS = 5,
	WHY_SIZE = 128,
};

bool loaded = false;

// The last sane profile any source saw, and the parameter sets of the
// camera's session description when they are of that profile; kept in
// `state_path` ("PROFILE SPROP"), so that a restart does not forget them.
pthread_mutex_t profile_lock = PTHREAD_MUTEX_INITIALIZER;
char last_profile[7] = "";
char last_sprop[1025] = "";
char state_path[512] = "";

// Under profile_lock.
void save_profile(void)
{
	if (!state_path[0])
		return;
	char tmp[sizeof(state_path) + 4];
	(void)snprintf(tmp, sizeof(tmp), "%s.new", state_path);
	FILE *f = fopen(tmp, "w");
	if (!f)
		return;
	const bool ok = fprintf(f, "%s %s\n", last_profile, last_sprop) > 0;
	if (fclose(f) || !ok || rename(tmp, state_path))
		(void)remove(tmp);
}

void learn_profile(const char *profile, const char *sprop = nullptr)
{
	if (!profile[0])
		return;
	pthread_mutex_lock(&profile_lock);
	const bool same = !strcmp(last_profile, profile) &&
			  (!sprop || !strcmp(last_sprop, sprop));
	if (!same) {
		// Parameter sets of another profile would contradict it.
		if (sprop || strcmp(last_profile, profile))
			str_ncpy(last_sprop, sprop ? sprop : "",
				 sizeof(last_sprop));
		memcpy(last_profile, profile, sizeof(last_profile));
		save_profile();
	}
	pthread_mutex_unlock(&profile_lock);
}

// libavformat brings libavcodec and every codec library that links (over a
// hundred shared objects, some 20 MB resident): it is loaded by the first
// camera session, on its thread, not with the program or the config.
#define AV_FUNCTIONS(X)                                                      \
	X(av_dict_free) X(av_dict_set) X(av_find_best_stream)                \
	X(av_log_set_level) X(av_packet_alloc) X(av_packet_free)             \
	X(av_packet_unref) X(av_read_frame) X(av_rescale_q) X(av_strerror)   \
	X(avcodec_get_name) X(avformat_alloc_context)                        \
	X(avformat_close_input)                                              \
	X(avformat_network_init) X(avformat_open_input) X(av_max_alloc)
struct av_api {
#define AV_POINTER(name) decltype(&::name) name;
	AV_FUNCTIONS(AV_POINTER)
#undef AV_POINTER
} av;

int load_api(void)
{
	static const char lib[] =
		"libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR);
	// Kept for the life of the process: libavformat does not unload.
	// dlsym on its handle finds libavutil's functions (av_max_alloc) too.
	void *h = dlopen(lib, RTLD_NOW | RTLD_LOCAL);
	if (!h) {
		sipua_warn("avformat: %s\n", dlerror());
		return ENOENT;
	}
#define AV_RESOLVE(name)                                                     \
	av.name = reinterpret_cast<decltype(av.name)>(dlsym(h, #name));      \
	if (!av.name) {                                                      \
		sipua_warn("avformat: %s has no %s\n", lib, #name);          \
		return ENOENT;                                               \
	}
	AV_FUNCTIONS(AV_RESOLVE)
#undef AV_RESOLVE
	return 0;
}

// Opens libavformat once per process; 0 when it is usable.
int use_api(void)
{
	static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
	static int api = -1;
	pthread_mutex_lock(&lock);
	if (api < 0) {
		api = load_api();
		if (!api) {
			// Our own line says what went wrong; libavformat's
			// would repeat it.
			av.av_log_set_level(AV_LOG_FATAL);
			// Process-wide, but libavformat is libavutil's only
			// user here.
			av.av_max_alloc(ALLOC_MAX);
			api = av.avformat_network_init() < 0 ? EINVAL : 0;
		}
	}
	pthread_mutex_unlock(&lock);
	return api;
}

// Source and probe threads still running.
pthread_mutex_t live_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t live_changed = PTHREAD_COND_INITIALIZER;
int live = 0;

uint64_t now_ms(void)
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (uint64_t)t.tv_sec * 1000 + (uint64_t)t.tv_nsec / 1000000;
}

// The RTP payloads of one access unit on their way to the loop (plain
// memory: libre's allocator stays on the loop thread). Each payload is a
// record: two bytes of length, a marker byte, the bytes.
struct unit {
	struct unit *next;
	uint32_t ts;
	bool idr;       // decodable by itself: the group starts here
	size_t len, cap;
	uint8_t data[];
};

enum { RECORD_HDR = 3 };

void units_free(struct unit *u)
{
	while (u) {
		struct unit *next = u->next;
		free(u);
		u = next;
	}
}

// RTP time from the stream's own clock; the wall clock since the source
// started places each session (whose first packet may have no time stamp).
struct stamp {
	uint64_t t0;
	bool mapped;
	int64_t offset;  // 90 kHz time = stream time + offset
	uint32_t last;
};

} // namespace

struct avsrc {
	char *url;
	char *shown;                      // the URL for the log: no password
	char transport[16];
	avsrc_rtp_h *rtph;
	void *arg;
	std::atomic<int> refs;            // the loop's and the thread's
	std::atomic<bool> stop;
	pthread_mutex_t lock;
	pthread_cond_t wake;              // ends a back-off early on stop
	struct mqueue *mq;                // under lock; null once stopped
	struct unit *head, *tail;         // under lock
	unsigned queued;                  // under lock
	size_t queued_bytes;              // under lock
	char profile[7];                  // under lock
	// Loop thread only: the unit being sent, and how far; whether it is
	// ours to free (not in the group) and goes out at all.
	struct unit *sending;
	size_t sent;
	bool sending_owned;
	bool sending_on;
	uint32_t sending_ts;
	bool on;                          // the peer takes the stream
	// Loop thread only: the picture group since the last IDR.
	struct unit *gop_head, *gop_tail;
	unsigned gop_units;
	size_t gop_bytes;
	// Loop thread only: the group sent again, and the time stamps around
	// it. The copies go out a tick apart just after the newest unit, so a
	// decoder shows them as a catch-up to the present, not as a replay;
	// the live stream then goes on after the last copy.
	bool replay_due;
	struct unit *replay;              // next copy to send
	bool replaying;                   // until the copies reach the present
	uint32_t replay_ts;
	uint64_t replayed_at;
	struct tmr pace;
	uint64_t paced_at;
	int64_t credit;                   // bytes the replay may send now
	uint32_t call_bps;                // the call's bitrate
	uint64_t replay_bps;
	uint32_t newest;                  // RTP time of the last live unit
	uint32_t shift;                   // added to the camera's time
	bool guard;                       // the next live unit follows replay_ts
	// Source thread only.
	struct h264_tx tx;
	struct unit *building;
	struct stamp clock;
	uint64_t deadline;                // for the next packet
	bool timed_out;
	bool handshake;                   // connecting up to the PLAY
	unsigned polls;                   // left in the handshake
	bool closing;
	uint64_t close_by;
	unsigned dropped;                 // large units since the last line
	uint64_t drop_logged;
};

namespace {

void release(struct avsrc *src)
{
	if (--src->refs)
		return;
	units_free(src->head);
	units_free(src->building);
	pthread_cond_destroy(&src->wake);
	pthread_mutex_destroy(&src->lock);
	free(src->url);
	free(src->shown);
	src->~avsrc();
	free(src);
}

// Polled by libavformat while it waits: a stop, or a camera that went
// silent, ends the wait (libavformat's own timeout does not cover RTSP
// over TCP).
int interrupted(void *arg)
{
	auto *src = static_cast<struct avsrc *>(arg);
	const uint64_t now = now_ms();
	if (src->closing)
		return now > src->close_by;
	if (src->stop)
		return 1;
	// Once spent, every later read of the handshake fails too: libavformat
	// goes on to the next request after a failed reply.
	if (src->handshake && (!src->polls || !--src->polls))
		return 1;
	src->timed_out = now > src->deadline;
	return src->timed_out;
}

void wait_next(struct avsrc *src, int ms)
{
	src->deadline = now_ms() + (uint64_t)ms;
}

uint32_t stamp_of(struct stamp *s, int64_t t, AVRational tb)
{
	const int64_t wall = (int64_t)(now_ms() - s->t0) * 90;
	if (t == AV_NOPTS_VALUE)
		return s->last = s->mapped ? s->last : (uint32_t)wall;
	const int64_t t90 = av.av_rescale_q(t, tb, AVRational{1, 90000});
	if (!s->mapped) {
		s->offset = wall - t90;
		s->mapped = true;
	}
	return s->last = (uint32_t)(t90 + s->offset);
}

// Source thread: appends one RTP payload to the unit being built.
int add_packet(bool marker, uint32_t ts, const uint8_t *hdr, size_t hdr_len,
	       const uint8_t *pld, size_t pld_len, void *arg)
{
	(void)ts;
	auto *src = static_cast<struct avsrc *>(arg);
	struct unit *u = src->building;
	const size_t need = RECORD_HDR + hdr_len + pld_len;
	if (u->len + need > u->cap) {
		const size_t cap = (u->len + need) * 2;
		auto *grown = static_cast<struct unit *>(
			realloc(u, sizeof(struct unit) + cap));
		if (!grown)
			return ENOMEM;
		u = src->building = grown;
		u->cap = cap;
	}
	uint8_t *p = u->data + u->len;
	const size_t n = hdr_len + pld_len;  // at most H264_PKTSIZE
	p[0] = (uint8_t)(n >> 8);
	p[1] = (uint8_t)n;
	p[2] = marker;
	if (hdr_len)
		memcpy(p + RECORD_HDR, hdr, hdr_len);
	memcpy(p + RECORD_HDR + hdr_len, pld, pld_len);
	u->len += need;
	return 0;
}

// Source thread: packetizes one access unit (`extra` ahead of `p`) and
// queues its payloads; wakes the loop when the queue was empty.
void push(struct avsrc *src, const uint8_t *extra, size_t elen,
	  const uint8_t *p, size_t len, uint32_t ts)
{
	// Only the first unit of a session has parameter sets to put ahead.
	uint8_t *joined = elen ? static_cast<uint8_t *>(malloc(elen + len))
			       : nullptr;
	const size_t cap = elen + len + (elen + len) / 64 + 64;
	src->building = static_cast<struct unit *>(
		malloc(sizeof(struct unit) + cap));
	if ((elen && !joined) || !src->building) {
		free(joined);
		units_free(src->building);
		src->building = nullptr;
		src->tx.synced = false;
		return;
	}
	if (joined) {
		memcpy(joined, extra, elen);
		memcpy(joined + elen, p, len);
	}
	struct unit *u = src->building;
	u->next = nullptr;
	u->ts = ts;
	u->idr = false;
	u->len = 0;
	u->cap = cap;
	const int err = h264_send_au(&src->tx, ts, joined ? joined : p,
				     elen + len, H264_PKTSIZE, add_packet, src);
	free(joined);
	u = src->building;
	src->building = nullptr;
	if (err || !u->len) {
		// Not sent whole (or nothing to send before an IDR): the
		// stream is decodable again from the next IDR.
		src->tx.synced = src->tx.synced && !err;
		free(u);
		return;
	}
	u->idr = src->tx.idr;
	char profile[7] = "";
	if (h264_profile_level_id(&src->tx, profile))
		learn_profile(profile);

	pthread_mutex_lock(&src->lock);
	if (profile[0])
		str_ncpy(src->profile, profile, sizeof(src->profile));
	if (!src->mq) {
		pthread_mutex_unlock(&src->lock);
		free(u);
		return;
	}
	if (src->queued >= QUEUE_MAX ||
	    src->queued_bytes + u->len > QUEUE_BYTES) {
		// The loop is behind: what waits is dropped, this unit too,
		// and the stream goes on from the next IDR.
		units_free(src->head);
		src->head = src->tail = nullptr;
		src->queued = 0;
		src->queued_bytes = 0;
		src->tx.synced = false;
		pthread_mutex_unlock(&src->lock);
		free(u);
		return;
	}
	if (src->tail)
		src->tail->next = u;
	else
		src->head = u;
	src->tail = u;
	src->queued_bytes += u->len;
	if (++src->queued == 1)
		(void)mqueue_push(src->mq, 0, nullptr);
	pthread_mutex_unlock(&src->lock);
}

void gop_clear(struct avsrc *src)
{
	units_free(src->gop_head);
	src->gop_head = src->gop_tail = nullptr;
	src->gop_units = 0;
	src->gop_bytes = 0;
}

// Loop thread: keeps a live unit in the group if it belongs there; false
// when it is the caller's to free.
bool gop_keep(struct avsrc *src, struct unit *u)
{
	if (u->idr)
		gop_clear(src);
	else if (!src->gop_head)
		return false;
	if (src->gop_units >= GOP_UNITS ||
	    src->gop_bytes + u->len > GOP_BYTES) {
		gop_clear(src);
		return false;
	}
	u->next = nullptr;
	if (src->gop_tail)
		src->gop_tail->next = u;
	else
		src->gop_head = u;
	src->gop_tail = u;
	++src->gop_units;
	src->gop_bytes += u->len;
	return true;
}

// Loop thread: the next unit of the camera, or null.
struct unit *take(struct avsrc *src)
{
	pthread_mutex_lock(&src->lock);
	struct unit *u = src->head;
	if (u) {
		src->head = u->next;
		if (!src->head)
			src->tail = nullptr;
		--src->queued;
		src->queued_bytes -= u->len;
	}
	pthread_mutex_unlock(&src->lock);
	return u;
}

void end_replay(struct avsrc *src)
{
	src->replay = nullptr;
	src->replaying = false;
	tmr_cancel(&src->pace);
}

// Loop thread: while the group goes out again, the camera's new units join
// it, so that the copies run on into the live stream; an IDR, or a group
// grown past its bounds, ends the replay and goes out live.
struct unit *merge(struct avsrc *src)
{
	while (struct unit *u = take(src)) {
		const bool fits = !u->idr && src->gop_units < GOP_UNITS &&
				  src->gop_bytes + u->len <= GOP_BYTES;
		if (!fits) {
			end_replay(src);
			return u;
		}
		if (!src->replay)
			src->replay = u;
		(void)gop_keep(src, u);
	}
	return nullptr;
}

// Loop thread: the next unit to send, a copy of the group first when one is
// due; false when there is none, or the replay waits for its pace.
bool next_unit(struct avsrc *src)
{
	struct unit *live = nullptr;
	if (src->replay_due && src->on && src->gop_head) {
		src->replay = src->gop_head;
		src->replaying = true;
		src->replay_ts = src->newest;
		src->replayed_at = now_ms();
		src->paced_at = src->replayed_at;
		src->credit = 1;  // the IDR goes out at once
		// The group's own rate, from its bytes and time span.
		const uint32_t span = (src->gop_tail->ts - src->gop_head->ts) / 90;
		const uint64_t own = (uint64_t)src->gop_bytes * 8000 /
				     (span > 40 ? span : 40);
		uint64_t bps = (own > src->call_bps ? own : src->call_bps) *
			       REPLAY_SPEEDUP;
		bps = bps < REPLAY_MIN_BPS ? (uint64_t)REPLAY_MIN_BPS : bps;
		src->replay_bps = bps > REPLAY_MAX_BPS ? (uint64_t)REPLAY_MAX_BPS : bps;
	}
	src->replay_due = false;
	if (src->replaying)
		live = merge(src);
	if (src->replaying && !src->replay)
		end_replay(src);  // caught up
	if (src->replaying) {
		if (src->credit <= 0)
			return false;
		struct unit *u = src->replay;
		src->replay = u->next;
		src->sending = u;
		src->sending_owned = false;
		src->sending_ts = ++src->replay_ts;
		src->newest = src->sending_ts;
		src->guard = true;
	}
	else {
		struct unit *u = live ? live : take(src);
		if (!u)
			return false;
		uint32_t ts = u->ts + src->shift;
		if (src->guard && (int32_t)(ts - src->replay_ts) <= 0) {
			src->shift += src->replay_ts + 1 - ts;
			ts = src->replay_ts + 1;
		}
		src->guard = false;
		src->newest = ts;
		src->sending = u;
		src->sending_owned = !gop_keep(src, u);
		src->sending_ts = ts;
	}
	src->sending_on = src->on;
	src->sent = 0;
	return true;
}

void mq_handler(int id, void *data, void *arg);

void pace_handler(void *arg)
{
	mq_handler(0, nullptr, arg);
}

// Loop thread: sends at most a burst, so that a large unit is spread over
// the loop's turns and SIP and audio go on in between; a replay goes at its
// pace.
void mq_handler(int id, void *data, void *arg)
{
	(void)id;
	(void)data;
	auto *src = static_cast<struct avsrc *>(arg);
	if (src->replaying) {
		const uint64_t now = now_ms();
		const int64_t per_ms = (int64_t)(src->replay_bps / 8000);
		src->credit += (int64_t)(now - src->paced_at) * per_ms;
		if (src->credit > per_ms * REPLAY_STEP_MS * 2)
			src->credit = per_ms * REPLAY_STEP_MS * 2;
		src->paced_at = now;
	}
	unsigned budget = BURST;
	while (budget) {
		if (!src->sending && !next_unit(src))
			break;
		struct unit *u = src->sending;
		while (budget && src->sent < u->len) {
			const uint8_t *p = u->data + src->sent;
			const size_t n = (size_t)p[0] << 8 | p[1];
			src->sent += RECORD_HDR + n;
			if (!src->sending_on)
				continue;
			--budget;
			if (!src->sending_owned)
				src->credit -= (int64_t)n;
			src->rtph(p[2], src->sending_ts, p + RECORD_HDR, n,
				  src->arg);
		}
		if (src->sent >= u->len) {
			src->sending = nullptr;
			if (src->sending_owned)
				free(u);
		}
	}
	const bool paced = src->replaying && src->credit <= 0;
	if (paced && !tmr_isrunning(&src->pace))
		tmr_start(&src->pace, REPLAY_STEP_MS, pace_handler, src);
	pthread_mutex_lock(&src->lock);
	const bool more = !paced && (src->sending || src->head ||
				     src->replaying);
	if (more && src->mq)
		(void)mqueue_push(src->mq, 0, nullptr);
	pthread_mutex_unlock(&src->lock);
}

// Loop thread: the group goes out after the unit being sent.
void refresh(struct avsrc *src)
{
	if (!src->on || !src->gop_head || src->replaying || src->replay_due)
		return;
	src->replay_due = true;
	pthread_mutex_lock(&src->lock);
	if (src->mq)
		(void)mqueue_push(src->mq, 0, nullptr);
	pthread_mutex_unlock(&src->lock);
}

bool annex_b(const uint8_t *p, int n)
{
	return (n > 3 && !p[0] && !p[1] && p[2] == 1) ||
	       (n > 4 && !p[0] && !p[1] && !p[2] && p[3] == 1);
}

// Source thread: a unit too large to send is dropped; a line says so when
// the first is, then at most once per DROP_LOG_MS with the count since.
void drop_large(struct avsrc *src, size_t len)
{
	src->tx.synced = false;  // the frames after it refer to it
	++src->dropped;
	const uint64_t now = now_ms();
	if (src->drop_logged && now - src->drop_logged < DROP_LOG_MS)
		return;
	sipua_warn("avformat: %s: access unit of %zu bytes dropped (over %d; "
		   "%u dropped)\n", src->shown, len, (int)UNIT_MAX, src->dropped);
	src->dropped = 0;
	src->drop_logged = now;
}

// The unit being gathered. With the demuxer's parser off, a packet is one
// RTP packet's share of a unit (whole NAL units, or a fragment's bytes), and
// libavformat keeps no RTP marker: a unit is whole when a packet of another
// time comes, or when the camera has sent nothing for SPLIT_IDLE_MS (it sends
// a frame's packets back to back), which spares the wait for the next frame.
// Should a packet of a unit come after that wait (a camera that paces its
// packets), the stream goes on from the next IDR and the wait is off for the
// session.
struct splitter {
	struct avsrc *src;
	pthread_mutex_t lock;
	pthread_cond_t wake;
	const uint8_t *extra;             // parameter sets for the first unit
	size_t elen;
	AVRational tb;
	uint8_t *au;
	size_t len, cap;
	int64_t t;                        // the unit's time stamp
	int64_t sent_t;                   // the last unit sent
	uint64_t at;                      // when its last packet came
	bool over;                        // dropped: too large, or late part
	bool idle_ok;                     // the idle wait ends units
	bool done;
};

enum { SPLIT_IDLE_MS = 15 };

// Under sp->lock.
void split_send(struct splitter *sp)
{
	if (sp->len && !sp->over) {
		push(sp->src, sp->extra, sp->elen, sp->au, sp->len,
		     stamp_of(&sp->src->clock, sp->t, sp->tb));
		sp->elen = 0;
		sp->sent_t = sp->t;
	}
	sp->len = 0;
}

void *split_idle(void *arg)
{
	auto *sp = static_cast<struct splitter *>(arg);
	pthread_mutex_lock(&sp->lock);
	while (!sp->done) {
		struct timespec until;
		clock_gettime(CLOCK_MONOTONIC, &until);
		const uint64_t now = now_ms();
		const bool pending = sp->len && !sp->over && sp->idle_ok;
		if (pending && now - sp->at >= SPLIT_IDLE_MS) {
			split_send(sp);
			continue;
		}
		const uint64_t ms = pending ? sp->at + SPLIT_IDLE_MS - now : 1000;
		until.tv_sec += (time_t)(ms / 1000);
		until.tv_nsec += (long)(ms % 1000) * 1000000;
		if (until.tv_nsec >= 1000000000) {
			++until.tv_sec;
			until.tv_nsec -= 1000000000;
		}
		(void)pthread_cond_timedwait(&sp->wake, &sp->lock, &until);
	}
	pthread_mutex_unlock(&sp->lock);
	return nullptr;
}

// Source thread: one packet of the stream.
void split_add(struct splitter *sp, const AVPacket *pkt)
{
	const int64_t t = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
	const size_t n = (size_t)pkt->size;
	pthread_mutex_lock(&sp->lock);
	const bool was_empty = !sp->len;
	if (t != sp->t && t != AV_NOPTS_VALUE) {
		split_send(sp);
		sp->over = false;
		sp->t = t;
	}
	// A fragment's continuation (no start code) of a unit already sent: the
	// camera paces its packets. (A whole NAL unit of the same time begins a
	// unit: cameras repeat a time stamp at the start of a session.)
	if (t == sp->sent_t && t != AV_NOPTS_VALUE && !sp->len && !sp->over &&
	    !annex_b(pkt->data, pkt->size)) {
		sp->idle_ok = false;
		sp->over = true;
		sp->src->tx.synced = false;
	}
	if (!sp->over && sp->len + n > UNIT_MAX) {
		drop_large(sp->src, sp->len + n);
		sp->over = true;
	}
	if (!sp->over && sp->len + n > sp->cap) {
		const size_t grown = (sp->len + n) * 2;
		auto *p = static_cast<uint8_t *>(realloc(sp->au, grown));
		sp->over = !p;
		sp->au = p ? p : sp->au;
		sp->cap = p ? grown : sp->cap;
	}
	if (!sp->over) {
		memcpy(sp->au + sp->len, pkt->data, n);
		sp->len += n;
	}
	sp->at = now_ms();
	// A unit begins: the idle wait starts. Later packets only move it on.
	if (was_empty && sp->len)
		pthread_cond_signal(&sp->wake);
	pthread_mutex_unlock(&sp->lock);
}

// Reads access units until the stream fails; `why` then tells how.
void read_units(struct avsrc *src, AVFormatContext *ic, int idx,
		bool *delivered, char *why)
{
	const AVStream *st = ic->streams[idx];
	src->clock.mapped = false;
	// Parameter sets that came with the session description go ahead of
	// the first unit, in case the camera does not repeat them.
	const AVCodecParameters *par = st->codecpar;
	const bool has_extra = annex_b(par->extradata, par->extradata_size) &&
			       par->extradata_size <= 2 * H264_PARAM_MAX;
	const size_t elen = has_extra ? (size_t)par->extradata_size : 0;
	char profile[7] = "";
	if (has_extra &&
	    h264_params_profile(par->extradata, elen, profile)) {
		learn_profile(profile);
		pthread_mutex_lock(&src->lock);
		memcpy(src->profile, profile, sizeof(profile));
		pthread_mutex_unlock(&src->lock);
	}
	src->tx.synced = false;
	wait_next(src, FIRST_PACKET_MS);
	struct splitter sp = {};
	sp.src = src;
	sp.extra = par->extradata;
	sp.elen = elen;
	sp.tb = st->time_base;
	sp.t = sp.sent_t = AV_NOPTS_VALUE;
	sp.idle_ok = true;
	pthread_mutex_init(&sp.lock, nullptr);
	pthread_condattr_t ca;
	pthread_condattr_init(&ca);
	pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
	pthread_cond_init(&sp.wake, &ca);
	pthread_condattr_destroy(&ca);
	pthread_t idle;
	const bool idling = !pthread_create(&idle, nullptr, split_idle, &sp);
	if (!idling)
		sp.idle_ok = false;  // units then end at the next time stamp only
	AVPacket *pkt = av.av_packet_alloc();
	int r = pkt ? 0 : AVERROR(ENOMEM);
	while (r >= 0 && (r = av.av_read_frame(ic, pkt)) >= 0) {
		if (pkt->stream_index == idx && pkt->size > 0) {
			split_add(&sp, pkt);
			*delivered = true;
			wait_next(src, SILENCE_MS);
		}
		av.av_packet_unref(pkt);
	}
	pthread_mutex_lock(&sp.lock);
	sp.done = true;
	pthread_cond_signal(&sp.wake);
	pthread_mutex_unlock(&sp.lock);
	if (idling)
		(void)pthread_join(idle, nullptr);
	// A unit cut short by the end is no use to a decoder.
	free(sp.au);
	pthread_cond_destroy(&sp.wake);
	pthread_mutex_destroy(&sp.lock);
	av.av_packet_free(&pkt);
	char err[64];
	av.av_strerror(r, err, sizeof(err));
	if (r == AVERROR_EOF)
		(void)snprintf(why, WHY_SIZE, "stream ended");
	else if (src->timed_out)
		(void)snprintf(why, WHY_SIZE, "stream ended (silent for %d ms)",
			       *delivered ? SILENCE_MS : FIRST_PACKET_MS);
	else
		(void)snprintf(why, WHY_SIZE, "stream ended (%s)", err);
}

// The camera's first H.264 video stream; every other stream is discarded at
// the demuxer, so that nothing of it is gathered. Null with `why` set when
// there is none.
int first_h264(AVFormatContext *ic, char *why)
{
	int idx = -1;
	const AVCodecParameters *other = nullptr;
	for (unsigned i = 0; i < ic->nb_streams; ++i) {
		AVStream *st = ic->streams[i];
		const AVCodecParameters *par = st->codecpar;
		if (idx < 0 && par->codec_type == AVMEDIA_TYPE_VIDEO &&
		    par->codec_id == AV_CODEC_ID_H264) {
			idx = (int)i;
			continue;
		}
		st->discard = AVDISCARD_ALL;
		if (!other && par->codec_type == AVMEDIA_TYPE_VIDEO)
			other = par;
	}
	if (idx < 0 && other)
		(void)snprintf(why, WHY_SIZE, "not H.264 but %s",
			       av.avcodec_get_name(other->codec_id));
	else if (idx < 0)
		(void)snprintf(why, WHY_SIZE, "no video stream");
	// An MP4-style stream: the packetizer takes start codes.
	else if (ic->streams[idx]->codecpar->extradata_size &&
		 ic->streams[idx]->codecpar->extradata[0] == 1) {
		(void)snprintf(why, WHY_SIZE, "H.264 without start codes");
		idx = -1;
	}
	return idx;
}

// One session with the camera, from connecting to its end; `refused` when
// the camera has no stream we can send, which a retry soon would not change.
void session(struct avsrc *src, bool *delivered, bool *refused, char *why)
{
	AVFormatContext *ic = av.avformat_alloc_context();
	if (!ic) {
		(void)snprintf(why, WHY_SIZE, "out of memory");
		return;
	}
	ic->interrupt_callback.callback = interrupted;
	ic->interrupt_callback.opaque = src;
	// Units are cut by their time stamps (read_units), not by the parser.
	ic->flags |= AVFMT_FLAG_NOPARSE | AVFMT_FLAG_NOFILLIN;
	AVDictionary *opts = nullptr;
	av.av_dict_set(&opts, "rtsp_transport", src->transport, 0);
	// Audio and data streams are not even set up.
	av.av_dict_set(&opts, "allowed_media_types", "video", 0);
	src->closing = false;
	wait_next(src, HANDSHAKE_MS);
	src->polls = HANDSHAKE_POLLS;
	src->handshake = true;
	const int r = av.avformat_open_input(&ic, src->url, nullptr, &opts);
	const bool overlong = r < 0 && !src->polls && !src->stop;
	src->handshake = false;
	av.av_dict_free(&opts);
	if (r < 0) {
		char err[64];
		av.av_strerror(r, err, sizeof(err));
		if (src->timed_out)
			(void)snprintf(err, sizeof(err), "no answer in %d ms",
				       HANDSHAKE_MS);
		else if (overlong)
			(void)snprintf(err, sizeof(err), "endless reply");
		(void)snprintf(why, WHY_SIZE, "camera unreachable (%s)", err);
		return;
	}
	const int idx = first_h264(ic, why);
	*refused = idx < 0;
	if (idx >= 0) {
		sipua_log("avformat: %s: reading H.264\n", src->shown);
		read_units(src, ic, idx, delivered, why);
	}
	src->closing = true;
	src->close_by = now_ms() + CLOSE_GRACE_MS;
	av.avformat_close_input(&ic);
}

// Sleeps `ms` unless the source is stopped first.
void backoff_wait(struct avsrc *src, unsigned ms)
{
	struct timespec until;
	clock_gettime(CLOCK_MONOTONIC, &until);
	until.tv_sec += ms / 1000;
	until.tv_nsec += (long)(ms % 1000) * 1000000;
	if (until.tv_nsec >= 1000000000) {
		++until.tv_sec;
		until.tv_nsec -= 1000000000;
	}
	pthread_mutex_lock(&src->lock);
	while (!src->stop &&
	       pthread_cond_timedwait(&src->wake, &src->lock, &until) == 0)
		;
	pthread_mutex_unlock(&src->lock);
}

void *read_thread(void *arg)
{
	auto *src = static_cast<struct avsrc *>(arg);
	char logged[WHY_SIZE] = "";  // a lasting fault is logged once
	unsigned backoff = BACKOFF_MIN_MS;
	const int api = use_api();
	if (api)
		sipua_warn("avformat: no camera source (%m)\n", api);
	while (!src->stop && !api) {
		char why[WHY_SIZE] = "";
		bool delivered = false, refused = false;
		session(src, &delivered, &refused, why);
		if (src->stop)
			break;
		if (delivered) {
			backoff = BACKOFF_MIN_MS;
			logged[0] = '\0';
		}
		// Not H.264: the camera is asked again only at the slow pace.
		if (refused)
			backoff = BACKOFF_MAX_MS;
		if (strcmp(logged, why))
			sipua_warn("avformat: %s: %s, retrying in %u ms\n",
				   src->shown, why, backoff);
		str_ncpy(logged, why, sizeof(logged));
		backoff_wait(src, backoff);
		backoff = backoff * 2 < BACKOFF_MAX_MS ? backoff * 2
						       : (unsigned)BACKOFF_MAX_MS;
	}
	release(src);
	pthread_mutex_lock(&live_lock);
	--live;
	pthread_cond_broadcast(&live_changed);
	pthread_mutex_unlock(&live_lock);
	return nullptr;
}

std::atomic<bool> probe_stop;

// The camera's profile from its session description, ahead of any call.
void *probe_thread(void *arg)
{
	char *url = static_cast<char *>(arg);
	char sprop[sizeof(last_sprop)];
	uint8_t params[2 * H264_PARAM_MAX + 8];
	char profile[7] = "";
	size_t len = 0;
	if (camera_describe(url, HANDSHAKE_MS, probe_stop, sprop, sizeof(sprop)))
		len = sprop_annex_b(sprop, params, sizeof(params));
	if (len && h264_params_profile(params, len, profile))
		learn_profile(profile, sprop);
	free(url);
	pthread_mutex_lock(&live_lock);
	--live;
	pthread_cond_broadcast(&live_changed);
	pthread_mutex_unlock(&live_lock);
	return nullptr;
}

void probe(const char *url)
{
	char *copy = url ? strdup(url) : nullptr;
	if (!copy)
		return;
	probe_stop = false;
	pthread_t thread;
	pthread_mutex_lock(&live_lock);
	const int err = pthread_create(&thread, nullptr, probe_thread, copy);
	live += !err;
	pthread_mutex_unlock(&live_lock);
	if (err)
		free(copy);
	else
		(void)pthread_detach(thread);
}

} // namespace

int avformat_init(void)
{
	if (loaded)
		return 0;
	char pass[16] = "";
	(void)conf_get_str(conf_cur(), "avformat_pass_through", pass,
			   sizeof(pass));
	if (strcmp(pass, "yes"))
		sipua_warn("avformat: avformat_pass_through is not yes; the "
			   "camera's H.264 is passed through all the same\n");
	loaded = true;
	// At each start and each change of the camera's URL (which starts the
	// library again).
	probe(avformat_url());
	return 0;
}

void avformat_close(void)
{
	if (!loaded)
		return;
	struct timespec until;
	clock_gettime(CLOCK_MONOTONIC, &until);  // steps of the wall clock aside
	until.tv_sec += 2;
	pthread_mutex_lock(&live_lock);
	probe_stop = true;
	while (live && pthread_cond_clockwait(&live_changed, &live_lock,
					      CLOCK_MONOTONIC, &until) == 0)
		;
	if (live)
		sipua_warn("avformat: %d source threads did not end\n", live);
	pthread_mutex_unlock(&live_lock);
	loaded = false;
}

const char *avformat_url(void)
{
	const struct config *cfg = sipua_config();
	if (!loaded || strcmp(cfg->video.src_mod, "avformat") ||
	    !cfg->video.src_dev[0])
		return nullptr;
	return cfg->video.src_dev;
}

int avsrc_alloc(struct avsrc **srcp, const char *url,
		avsrc_rtp_h *rtph, void *arg)
{
	if (!srcp || !url || !rtph)
		return EINVAL;
	void *mem = malloc(sizeof(struct avsrc));
	if (!mem)
		return ENOMEM;
	auto *src = new (mem) avsrc();
	src->url = strdup(url);
	src->shown = avformat_shown_url(url);
	src->refs = 2;
	pthread_mutex_init(&src->lock, nullptr);
	pthread_condattr_t ca;
	pthread_condattr_init(&ca);
	pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
	pthread_cond_init(&src->wake, &ca);
	pthread_condattr_destroy(&ca);
	// Interleaved by default: one connection, no NAT trouble.
	str_ncpy(src->transport, "tcp", sizeof(src->transport));
	(void)conf_get_str(conf_cur(), "avformat_rtsp_transport",
			   src->transport, sizeof(src->transport));
	src->rtph = rtph;
	src->arg = arg;
	src->clock.t0 = now_ms();
	tmr_init(&src->pace);
	const struct config *cfg = sipua_config();
	src->call_bps = cfg->video.bitrate;
	int err = src->url && src->shown ? mqueue_alloc(&src->mq, mq_handler, src) : ENOMEM;
	pthread_t thread;
	if (!err) {
		pthread_mutex_lock(&live_lock);
		err = pthread_create(&thread, nullptr, read_thread, src);
		live += !err;
		pthread_mutex_unlock(&live_lock);
	}
	if (err) {
		mem_deref(src->mq);
		src->refs = 1;
		release(src);
		return err;
	}
	(void)pthread_detach(thread);
	*srcp = src;
	return 0;
}

void avsrc_free(struct avsrc *src)
{
	if (!src)
		return;
	pthread_mutex_lock(&src->lock);
	src->stop = true;
	struct mqueue *mq = src->mq;
	src->mq = nullptr;
	units_free(src->head);
	src->head = src->tail = nullptr;
	src->queued = 0;
	src->queued_bytes = 0;
	if (src->sending_owned)
		free(src->sending);
	src->sending = nullptr;
	end_replay(src);
	gop_clear(src);
	pthread_cond_broadcast(&src->wake);
	pthread_mutex_unlock(&src->lock);
	mem_deref(mq);
	release(src);
}

bool avsrc_profile(struct avsrc *src, char out[7])
{
	if (!src)
		return false;
	pthread_mutex_lock(&src->lock);
	const bool known = src->profile[0] != '\0';
	if (known)
		memcpy(out, src->profile, sizeof(src->profile));
	pthread_mutex_unlock(&src->lock);
	return known;
}

void avsrc_send(struct avsrc *src, bool on)
{
	if (!src || src->on == on)
		return;
	src->on = on;
	refresh(src);
}

bool avsrc_refresh(struct avsrc *src)
{
	if (!src || now_ms() - src->replayed_at < REFRESH_MIN_MS)
		return false;
	refresh(src);
	return src->replay_due;
}

char *avformat_shown_url(const char *url)
{
	if (!url)
		return nullptr;
	const char *scheme = strstr(url, "://");
	const char *auth = scheme ? scheme + 3 : url;
	const char *end = auth + strcspn(auth, "/?#");
	const char *at = nullptr;
	for (const char *p = auth; p < end; ++p)
		at = *p == '@' ? p : at;
	if (!at)
		return strdup(url);
	const size_t head = (size_t)(auth - url);
	char *out = static_cast<char *>(malloc(strlen(url) + 4));
	if (!out)
		return nullptr;
	memcpy(out, url, head);
	memcpy(out + head, "***", 3);
	strcpy(out + head + 3, at);
	return out;
}

bool avformat_profile(char out[7], char *sprop, size_t size)
{
	pthread_mutex_lock(&profile_lock);
	const bool known = last_profile[0] != '\0';
	if (known)
		memcpy(out, last_profile, sizeof(last_profile));
	if (sprop && size)
		str_ncpy(sprop, known ? last_sprop : "", size);
	pthread_mutex_unlock(&profile_lock);
	return known;
}

void sipua_camera_state(const char *path)
{
	pthread_mutex_lock(&profile_lock);
	str_ncpy(state_path, path ? path : "", sizeof(state_path));
	FILE *f = state_path[0] ? fopen(state_path, "r") : nullptr;
	char line[sizeof(last_sprop) + 16] = "";
	if (f && fgets(line, sizeof(line), f)) {
		char profile[7] = "", sprop[sizeof(last_sprop)] = "";
		// What the file says is taken only when it reads as a profile.
		if (sscanf(line, "%6[0-9a-f] %1024[A-Za-z0-9+/=,]", profile,
			   sprop) >= 1 && strlen(profile) == 6) {
			memcpy(last_profile, profile, sizeof(profile));
			memcpy(last_sprop, sprop, sizeof(sprop));
		}
	}
	if (f)
		(void)fclose(f);
	pthread_mutex_unlock(&profile_lock);
}
