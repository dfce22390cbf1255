// ALSA devices: audio_source alsa,DEVICE and audio_player alsa,DEVICE
// (e.g. alsa,default or alsa,plughw:0,0), 16-bit interleaved, blocking I/O
// on a thread per device.
#include "audio.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdarg>

namespace {

// Periods in the device buffer; a device that does not block (ALSA's null
// and file plugins) may take as much ahead of the clock, no more, so it
// holds no more audio than a real one would.
constexpr unsigned PERIODS = 4;

struct alsa_st {
	struct audev dev;  // first: the record is handled as its device head
	snd_pcm_t *pcm;
};

// ALSA's own messages only with the debug trace: the caller logs one line.
void lib_error(const char *file, int line, const char *func, int err,
	       const char *fmt, ...)
{
	(void)err;
	char text[256];
	va_list ap;
	va_start(ap, fmt);
	(void)vsnprintf(text, sizeof(text), fmt, ap);
	va_end(ap);
	sipua_log("alsa: %s:%d (%s) %s\n", file, line, func, text);
}

void alsa_destructor(void *arg)
{
	auto *st = static_cast<struct alsa_st *>(arg);
	audev_close(&st->dev);
	if (st->pcm)
		snd_pcm_close(st->pcm);
}

int set_params(snd_pcm_t *pcm, uint32_t *srate, uint8_t ch, uint32_t ptime)
{
	snd_pcm_hw_params_t *hw;
	snd_pcm_hw_params_alloca(&hw);
	unsigned rate = *srate;
	int err = snd_pcm_hw_params_any(pcm, hw);
	if (err >= 0)
		err = snd_pcm_hw_params_set_access(
			pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
	if (err >= 0)
		err = snd_pcm_hw_params_set_format(pcm, hw,
						   SND_PCM_FORMAT_S16);
	if (err >= 0)
		err = snd_pcm_hw_params_set_channels(pcm, hw, ch);
	if (err >= 0)
		err = snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr);
	snd_pcm_uframes_t period = rate * ptime / 1000;
	snd_pcm_uframes_t buffer = period * PERIODS;
	if (err >= 0)
		err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period,
							     nullptr);
	if (err >= 0)
		err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
	if (err >= 0)
		err = snd_pcm_hw_params(pcm, hw);
	if (err >= 0)
		err = snd_pcm_prepare(pcm);
	*srate = rate;
	return err < 0 ? -err : 0;
}

// An overrun or underrun is recovered; anything else stops the device.
bool io_ok(struct alsa_st *st, long n, const char *what)
{
	if (n >= 0 || snd_pcm_recover(st->pcm, (int)n, 1) == 0)
		return true;
	st->dev.errh((int)-n, what, st->dev.arg);
	return false;
}

bool src_step(void *arg)
{
	auto *st = static_cast<struct alsa_st *>(arg);
	struct auframe af = st->dev.frame;
	const snd_pcm_sframes_t n = snd_pcm_readi(st->pcm, af.sampv,
						  af.sampc / af.ch);
	if (!io_ok(st, n, "read failed"))
		return false;
	if (n > 0) {
		af.sampc = (size_t)n * af.ch;
		st->dev.rh(&af, st->dev.arg);
	}
	return true;
}

bool play_step(void *arg)
{
	auto *st = static_cast<struct alsa_st *>(arg);
	struct auframe *af = &st->dev.frame;
	st->dev.wh(af, st->dev.arg);
	return io_ok(st, snd_pcm_writei(st->pcm, af->sampv, af->sampc / af->ch),
		     "write failed");
}

// Opens `device` (rate as near as the device allows, written back) and runs
// `step` on it.
int alsa_alloc(void **stp, const char *device, snd_pcm_stream_t stream,
	       uint32_t *srate, uint8_t ch, uint32_t ptime, audev_step_h *step,
	       ausrc_read_h *rh, auplay_write_h *wh, audev_error_h *errh,
	       void *arg)
{
	auto *st = static_cast<struct alsa_st *>(
		mem_zalloc(sizeof(struct alsa_st), alsa_destructor));
	if (!st)
		return ENOMEM;
	int err = -snd_pcm_open(&st->pcm, str_isset(device) ? device
							     : "default",
				 stream, 0);
	if (!err)
		err = set_params(st->pcm, srate, ch, ptime);
	if (!err)
		err = audev_frame_alloc(&st->dev, *srate, ch, ptime);
	if (err) {
		mem_deref(st);
		return err;
	}
	return audev_launch(&st->dev, stp, step, PERIODS, rh, wh, errh, arg);
}

int src_alloc(struct ausrc_st **stp, const struct ausrc *as,
	      struct ausrc_prm *prm, const char *device, ausrc_read_h *rh,
	      audev_error_h *errh, void *arg)
{
	(void)as;
	return alsa_alloc((void **)stp, device, SND_PCM_STREAM_CAPTURE,
			  &prm->srate, prm->ch, prm->ptime, src_step, rh,
			  nullptr, errh, arg);
}

int play_alloc(struct auplay_st **stp, const struct auplay *ap,
	       struct auplay_prm *prm, const char *device, auplay_write_h *wh,
	       audev_error_h *errh, void *arg)
{
	(void)ap;
	return alsa_alloc((void **)stp, device, SND_PCM_STREAM_PLAYBACK,
			  &prm->srate, prm->ch, prm->ptime, play_step, nullptr,
			  wh, errh, arg);
}

} // namespace

int alsa_module_init(void)
{
	snd_lib_error_set_handler(lib_error);
	return audev_register("alsa", src_alloc, play_alloc);
}
