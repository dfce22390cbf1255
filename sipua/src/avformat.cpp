// Video source on libavformat. Connecting and reading run on the source's
// own thread, so a slow or dead camera never holds up the SIP loop; the
// access units reach the loop through a locked queue and an mqueue wake-up,
// and no libre object is touched off the loop thread (libre 1.1.0 has no
// re_thread_async). A stop does not wait for the thread either: it ends by
// itself soon after (libavformat polls the interrupt callback while it
// waits), and the module's close waits for the last ones.
#include "avformat.h"

#include "core.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum {
	BACKOFF_MIN_MS = 500,
	BACKOFF_MAX_MS = 8000,
	QUEUE_MAX = 50,         // two seconds of video: the loop is stuck
	OPEN_TIMEOUT_MS = 5000, // connecting up to the first packet
	SILENCE_MS = 3000,      // a camera silent this long is gone
	CLOSE_GRACE_MS = 200,   // for the TEARDOWN
};

bool loaded = false;

// Source threads still running.
std::mutex live_lock;
std::condition_variable live_changed;
int live = 0;

struct unit {
	std::vector<uint8_t> au;
	uint32_t ts;
	bool resync;
};

// RTP time from the stream's own clock; the wall clock since the source
// started places each session (whose first packet may have no time stamp).
struct stamp {
	Clock::time_point t0;
	bool mapped;
	int64_t offset;  // 90 kHz time = stream time + offset
	uint32_t last;
};

} // namespace

struct avsrc {
	std::string url;
	std::string transport;
	avsrc_packet_h *packeth;
	void *arg;
	std::atomic<int> refs{2};         // the loop's and the thread's
	std::mutex lock;
	std::condition_variable wake;     // ends a back-off early on stop
	std::atomic<bool> stop{false};
	struct mqueue *mq;                // under lock; null once stopped
	std::deque<unit> queue;           // under lock
	bool lost;                        // under lock: the next unit resyncs
	// Source thread only.
	struct stamp clock;
	Clock::time_point deadline;       // for the next packet
	bool timed_out;
	bool closing;
	Clock::time_point close_by;
};

namespace {

void release(struct avsrc *src)
{
	if (--src->refs == 0)
		delete src;
}

// Polled by libavformat while it waits: a stop, or a camera that went
// silent, ends the wait (libavformat's own timeout does not cover RTSP
// over TCP).
int interrupted(void *arg)
{
	auto *src = static_cast<struct avsrc *>(arg);
	const Clock::time_point now = Clock::now();
	if (src->closing)
		return now > src->close_by;
	if (src->stop)
		return 1;
	src->timed_out = now > src->deadline;
	return src->timed_out;
}

void wait_next(struct avsrc *src, int ms)
{
	src->deadline = Clock::now() + std::chrono::milliseconds(ms);
}

uint32_t stamp_of(struct stamp *s, const AVPacket *pkt, AVRational tb)
{
	const int64_t wall = std::chrono::duration_cast<std::chrono::
		milliseconds>(Clock::now() - s->t0).count() * 90;
	const int64_t t = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
	if (t == AV_NOPTS_VALUE)
		return s->last = s->mapped ? s->last : (uint32_t)wall;
	const int64_t t90 = av_rescale_q(t, tb, AVRational{1, 90000});
	if (!s->mapped) {
		s->offset = wall - t90;
		s->mapped = true;
	}
	return s->last = (uint32_t)(t90 + s->offset);
}

// Source thread: queues one unit; wakes the loop when the queue was empty.
void push(struct avsrc *src, std::vector<uint8_t> &&au, uint32_t ts)
{
	std::lock_guard<std::mutex> hold(src->lock);
	if (!src->mq)
		return;
	if (src->queue.size() >= QUEUE_MAX) {
		src->queue.clear();
		src->lost = true;
	}
	src->queue.push_back(unit{std::move(au), ts, src->lost});
	src->lost = false;
	if (src->queue.size() == 1)
		(void)mqueue_push(src->mq, 0, nullptr);
}

// Loop thread.
void mq_handler(int id, void *data, void *arg)
{
	(void)id;
	(void)data;
	auto *src = static_cast<struct avsrc *>(arg);
	avsrc_packet_h *packeth = src->packeth;
	void *harg = src->arg;
	std::deque<unit> units;
	{
		std::lock_guard<std::mutex> hold(src->lock);
		units.swap(src->queue);
	}
	for (const unit &u : units)
		packeth(u.au.data(), u.au.size(), u.ts, u.resync, harg);
}

bool annex_b(const uint8_t *p, int n)
{
	return (n > 3 && !p[0] && !p[1] && p[2] == 1) ||
	       (n > 4 && !p[0] && !p[1] && !p[2] && p[3] == 1);
}

// Reads access units until the stream fails; `why` then tells how.
void read_units(struct avsrc *src, AVFormatContext *ic, int idx,
		bool *delivered, char *why, size_t sz)
{
	const AVStream *st = ic->streams[idx];
	src->clock.mapped = false;
	// Parameter sets that came with the session description go ahead of
	// the first unit, in case the camera does not repeat them.
	const AVCodecParameters *par = st->codecpar;
	std::vector<uint8_t> extra;
	if (annex_b(par->extradata, par->extradata_size))
		extra.assign(par->extradata,
			     par->extradata + par->extradata_size);
	{
		std::lock_guard<std::mutex> hold(src->lock);
		src->lost = true;
	}
	AVPacket *pkt = av_packet_alloc();
	int r = pkt ? 0 : AVERROR(ENOMEM);
	while (r >= 0 && (r = av_read_frame(ic, pkt)) >= 0) {
		if (pkt->stream_index == idx && pkt->size > 0) {
			std::vector<uint8_t> au(std::move(extra));
			extra.clear();
			au.insert(au.end(), pkt->data, pkt->data + pkt->size);
			push(src, std::move(au), stamp_of(&src->clock, pkt,
							  st->time_base));
			*delivered = true;
			wait_next(src, SILENCE_MS);
		}
		av_packet_unref(pkt);
	}
	av_packet_free(&pkt);
	char err[64];
	av_strerror(r, err, sizeof(err));
	if (r == AVERROR_EOF)
		(void)snprintf(why, sz, "stream ended");
	else if (src->timed_out)
		(void)snprintf(why, sz, "stream ended (silent for %d ms)",
			       SILENCE_MS);
	else
		(void)snprintf(why, sz, "stream ended (%s)", err);
}

// One session with the camera, from connecting to its end.
void session(struct avsrc *src, bool *delivered, char *why, size_t sz)
{
	AVFormatContext *ic = avformat_alloc_context();
	if (!ic) {
		(void)snprintf(why, sz, "out of memory");
		return;
	}
	ic->interrupt_callback.callback = interrupted;
	ic->interrupt_callback.opaque = src;
	AVDictionary *opts = nullptr;
	av_dict_set(&opts, "rtsp_transport", src->transport.c_str(), 0);
	src->closing = false;
	wait_next(src, OPEN_TIMEOUT_MS);
	const int r = avformat_open_input(&ic, src->url.c_str(), nullptr,
					  &opts);
	av_dict_free(&opts);
	if (r < 0) {
		char err[64];
		av_strerror(r, err, sizeof(err));
		if (src->timed_out)
			(void)snprintf(err, sizeof(err), "no answer in %d ms",
				       OPEN_TIMEOUT_MS);
		(void)snprintf(why, sz, "camera unreachable (%s)", err);
		return;
	}
	const int idx = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1,
					    nullptr, 0);
	if (idx < 0) {
		(void)snprintf(why, sz, "no video stream");
	}
	else if (ic->streams[idx]->codecpar->codec_id != AV_CODEC_ID_H264) {
		(void)snprintf(why, sz, "not H.264 but %s", avcodec_get_name(
				       ic->streams[idx]->codecpar->codec_id));
	}
	else if (ic->streams[idx]->codecpar->extradata_size &&
		 ic->streams[idx]->codecpar->extradata[0] == 1) {
		// An MP4-style stream: the packetizer takes start codes.
		(void)snprintf(why, sz, "H.264 without start codes");
	}
	else {
		sipua_log("avformat: %s: reading H.264\n", src->url.c_str());
		read_units(src, ic, idx, delivered, why, sz);
	}
	src->closing = true;
	src->close_by = Clock::now() +
			std::chrono::milliseconds(CLOSE_GRACE_MS);
	avformat_close_input(&ic);
}

void *read_thread(void *arg)
{
	auto *src = static_cast<struct avsrc *>(arg);
	std::string logged;  // a lasting fault is logged once
	unsigned backoff = BACKOFF_MIN_MS;
	while (!src->stop) {
		char why[128] = "";
		bool delivered = false;
		session(src, &delivered, why, sizeof(why));
		if (src->stop)
			break;
		if (delivered) {
			backoff = BACKOFF_MIN_MS;
			logged.clear();
		}
		if (logged != why)
			sipua_warn("avformat: %s: %s, retrying in %u ms\n",
				   src->url.c_str(), why, backoff);
		logged = why;
		std::unique_lock<std::mutex> hold(src->lock);
		src->wake.wait_for(hold, std::chrono::milliseconds(backoff),
				   [src] { return src->stop.load(); });
		backoff = std::min(backoff * 2, (unsigned)BACKOFF_MAX_MS);
	}
	release(src);
	std::lock_guard<std::mutex> hold(live_lock);
	--live;
	live_changed.notify_all();
	return nullptr;
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
	// Our own line says what went wrong; libavformat's would repeat it.
	av_log_set_level(AV_LOG_FATAL);
	const int err = avformat_network_init();
	if (err < 0)
		return EINVAL;
	loaded = true;
	return 0;
}

void avformat_close(void)
{
	if (!loaded)
		return;
	std::unique_lock<std::mutex> hold(live_lock);
	if (!live_changed.wait_for(hold, std::chrono::seconds(2),
				   [] { return live == 0; }))
		sipua_warn("avformat: %d source threads did not end\n", live);
	avformat_network_deinit();
	loaded = false;
}

const char *avformat_url(void)
{
	const struct config *cfg = uag.cfg ? uag.cfg : conf_config();
	if (!loaded || strcmp(cfg->video.src_mod, "avformat") ||
	    !cfg->video.src_dev[0])
		return nullptr;
	return cfg->video.src_dev;
}

int avsrc_alloc(struct avsrc **srcp, const char *url,
		avsrc_packet_h *packeth, void *arg)
{
	if (!srcp || !url || !packeth)
		return EINVAL;
	auto *src = new (std::nothrow) avsrc();
	if (!src)
		return ENOMEM;
	src->url = url;
	char transport[16] = "tcp";  // interleaved: one connection, no NAT
	(void)conf_get_str(conf_cur(), "avformat_rtsp_transport", transport,
			   sizeof(transport));
	src->transport = transport;
	src->packeth = packeth;
	src->arg = arg;
	src->clock.t0 = Clock::now();
	int err = mqueue_alloc(&src->mq, mq_handler, src);
	pthread_t thread;
	if (!err) {
		std::lock_guard<std::mutex> hold(live_lock);
		err = pthread_create(&thread, nullptr, read_thread, src);
		live += !err;
	}
	if (err) {
		mem_deref(src->mq);
		delete src;
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
	struct mqueue *mq;
	{
		std::lock_guard<std::mutex> hold(src->lock);
		src->stop = true;
		mq = src->mq;
		src->mq = nullptr;
		src->queue.clear();
		src->wake.notify_all();
	}
	mem_deref(mq);
	release(src);
}
