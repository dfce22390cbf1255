// Audio sources and players: the driver lists, device threads and pacing.
#include "audio.h"

#include <cerrno>
#include <ctime>

namespace {

struct list ausrcl;
struct list auplayl;

template <class T>
void driver_destructor(void *arg)
{
	list_unlink(&static_cast<T *>(arg)->le);
}

template <class T, class H>
int register_driver(T **dp, struct list *l, const char *name, H *alloch)
{
	if (!dp || !l || !name || !alloch)
		return EINVAL;
	auto *d = static_cast<T *>(mem_zalloc(sizeof(T), driver_destructor<T>));
	if (!d)
		return ENOMEM;
	d->name = name;
	d->alloch = alloch;
	list_append(l, &d->le, d);
	*dp = d;
	return 0;
}

template <class T>
const T *find_driver(const struct list *l, const char *name)
{
	for (struct le *le = l ? l->head : nullptr; le; le = le->next) {
		auto *d = static_cast<const T *>(le->data);
		if (!str_isset(name) || !str_casecmp(name, d->name))
			return d;
	}
	return nullptr;
}

struct pacer {
	uint64_t next_us;
	uint64_t period_us;
	unsigned lead;
	uint64_t early_us;  // how much sooner than the clock since the resync
};

uint64_t now_us(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

void pacer_resync(struct pacer *p, uint64_t now)
{
	p->next_us = now + p->period_us - (uint64_t)p->lead * p->period_us;
	p->early_us = 0;
}

// A source's frame was there when the clock said to read it: it may have
// waited up to a frame. The clock moves a little sooner each frame, so the
// packets stay evenly spaced, until a read waits for its frame again (a
// device that fills in real time); no more than the lead in all (one that
// never waits, as a file, is then held to the clock).
void pacer_sooner(struct pacer *p)
{
	const uint64_t step = p->period_us / 8;
	if (p->early_us + step > (uint64_t)p->lead * p->period_us)
		return;
	p->next_us -= step;
	p->early_us += step;
}

void pacer_wait(struct pacer *p, uint64_t now)
{
	// Far behind, beyond the lead (a stalled machine): start over rather
	// than race.
	if (now > p->next_us + (uint64_t)(p->lead + 4) * p->period_us) {
		p->next_us = now + p->period_us;
		return;
	}
	if (p->next_us > now) {
		struct timespec ts;
		ts.tv_sec = (time_t)(p->next_us / 1000000u);
		ts.tv_nsec = (long)(p->next_us % 1000000u) * 1000;
		while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts,
				       nullptr) == EINTR)
			;
	}
	p->next_us += p->period_us;
}

bool running(const struct audev *d)
{
	return __atomic_load_n(&d->thr.run, __ATOMIC_ACQUIRE);
}

// A new frame length asked for: the frame is made anew on this thread,
// the only one that uses it; on failure the old one stays.
void follow_ptime(struct audev *d, struct pacer *p)
{
	const uint32_t want = __atomic_load_n(&d->next_ptime, __ATOMIC_ACQUIRE);
	if (!want || want == d->ptime)
		return;
	const struct auframe old = d->frame;
	const uint32_t old_ptime = d->ptime;
	if (audev_frame_alloc(d, old.srate, old.ch, want)) {
		d->frame = old;
		d->ptime = old_ptime;
		__atomic_store_n(&d->next_ptime, 0u, __ATOMIC_RELEASE);
		return;
	}
	mem_deref(old.sampv);
	p->period_us = (uint64_t)want * 1000u;
}

void *device_main(void *arg)
{
	auto *d = static_cast<struct audev *>(arg);
	struct pacer pacer = {0, (uint64_t)d->ptime * 1000u, d->lead, 0};
	uint64_t t0 = now_us();
	pacer_resync(&pacer, t0);
	while (running(d)) {
		follow_ptime(d, &pacer);
		if (!d->step(d))
			break;
		const uint64_t t1 = now_us();
		if (t1 - t0 >= pacer.period_us / 2) {
			pacer_resync(&pacer, t1);
		}
		else {
			if (d->rh && pacer.next_us > t1)
				pacer_sooner(&pacer);
			pacer_wait(&pacer, t1);
		}
		t0 = now_us();
	}
	return nullptr;
}

} // namespace

struct list *baresip_ausrcl(void)
{
	return &ausrcl;
}

struct list *baresip_auplayl(void)
{
	return &auplayl;
}

int ausrc_register(struct ausrc **asp, struct list *l, const char *name,
		   ausrc_alloc_h *alloch)
{
	return register_driver(asp, l, name, alloch);
}

int auplay_register(struct auplay **app, struct list *l, const char *name,
		    auplay_alloc_h *alloch)
{
	return register_driver(app, l, name, alloch);
}

const struct ausrc *ausrc_find(const struct list *l, const char *name)
{
	return find_driver<struct ausrc>(l, name);
}

const struct auplay *auplay_find(const struct list *l, const char *name)
{
	return find_driver<struct auplay>(l, name);
}

int audev_register(const char *name, ausrc_alloc_h *src, auplay_alloc_h *play)
{
	struct ausrc *as;
	struct auplay *ap;
	int err = ausrc_register(&as, &ausrcl, name, src);
	if (!err)
		err = auplay_register(&ap, &auplayl, name, play);
	return err;
}

void audev_modules_close(void)
{
	list_flush(&ausrcl);
	list_flush(&auplayl);
}

// Device threads -------------------------------------------------------------

int audev_frame_alloc(struct audev *d, uint32_t srate, uint8_t ch,
		      uint32_t ptime)
{
	const size_t sampc = (size_t)srate * ch * ptime / 1000;
	if (!sampc)
		return EINVAL;
	d->frame.sampv = static_cast<int16_t *>(
		mem_zalloc(sampc * sizeof(int16_t), nullptr));
	if (!d->frame.sampv)
		return ENOMEM;
	d->frame.sampc = sampc;
	d->frame.srate = srate;
	d->frame.ch = ch;
	d->ptime = ptime;
	return 0;
}

int audev_launch(struct audev *d, void **stp, audev_step_h *step,
		 unsigned lead, ausrc_read_h *rh, auplay_write_h *wh,
		 audev_error_h *errh, void *arg)
{
	d->step = step;
	d->lead = lead;
	d->rh = rh;
	d->wh = wh;
	d->errh = errh;
	d->arg = arg;
	__atomic_store_n(&d->thr.run, true, __ATOMIC_RELEASE);
	int err = pthread_create(&d->thr.tid, nullptr, device_main, d);
	if (err) {
		__atomic_store_n(&d->thr.run, false, __ATOMIC_RELEASE);
		mem_deref(d);
		return err;
	}
	d->thr.started = true;
	*stp = d;
	return 0;
}

void audev_set_ptime(void *st, uint32_t ptime)
{
	if (st)
		__atomic_store_n(&static_cast<struct audev *>(st)->next_ptime,
				 ptime, __ATOMIC_RELEASE);
}

void audev_close(struct audev *d)
{
	__atomic_store_n(&d->thr.run, false, __ATOMIC_RELEASE);
	if (d->thr.started)
		pthread_join(d->thr.tid, nullptr);
	d->thr.started = false;
	d->frame.sampv = static_cast<int16_t *>(mem_deref(d->frame.sampv));
}
