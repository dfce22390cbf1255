// WAV files as audio devices:
//   audio_source aufile,/path/in.wav   plays the file into the call from its
//                                      start, then stops (the call sends
//                                      silence)
//   audio_player aufile,/path/out.wav  writes the received audio, closed
//                                      when the call ends
// 16-bit PCM; the source gives the file's own rate and channels.
#include "audio.h"

#include <cerrno>

namespace {

struct file_st {
	struct audev dev;  // first: the record is handled as its device head
	struct aufile *af;
};

void file_destructor(void *arg)
{
	auto *st = static_cast<struct file_st *>(arg);
	audev_close(&st->dev);
	mem_deref(st->af);  // a written file gets its final header here
}

int file_open(struct file_st **stp, struct aufile_prm *fprm,
	      const char *path, enum aufile_mode mode, uint32_t ptime)
{
	if (!str_isset(path))
		return EINVAL;
	auto *st = static_cast<struct file_st *>(
		mem_zalloc(sizeof(struct file_st), file_destructor));
	if (!st)
		return ENOMEM;
	int err = aufile_open(&st->af, fprm, path, mode);
	if (!err && (fprm->fmt != AUFMT_S16LE || !fprm->channels ||
		     fprm->channels > 2))
		err = ENOTSUP;
	if (!err)
		err = audev_frame_alloc(&st->dev, fprm->srate, fprm->channels,
					ptime);
	if (err) {
		mem_deref(st);
		return err;
	}
	*stp = st;
	return 0;
}

bool src_step(void *arg)
{
	auto *st = static_cast<struct file_st *>(arg);
	struct auframe af = st->dev.frame;
	size_t sz = af.sampc * sizeof(int16_t);
	int err = aufile_read(st->af, (uint8_t *)af.sampv, &sz);
	if (err || !sz) {
		// At the end the call goes on with silence.
		st->dev.errh(err, err ? "read failed" : nullptr, st->dev.arg);
		return false;
	}
	af.sampc = sz / sizeof(int16_t);
	for (size_t i = 0; i < af.sampc; ++i)
		af.sampv[i] = (int16_t)sys_ltohs((uint16_t)af.sampv[i]);
	st->dev.rh(&af, st->dev.arg);
	return true;
}

bool play_step(void *arg)
{
	auto *st = static_cast<struct file_st *>(arg);
	struct auframe *af = &st->dev.frame;
	st->dev.wh(af, st->dev.arg);
	for (size_t i = 0; i < af->sampc; ++i)
		af->sampv[i] = (int16_t)sys_htols((uint16_t)af->sampv[i]);
	int err = aufile_write(st->af, (uint8_t *)af->sampv,
			       af->sampc * sizeof(int16_t));
	if (err)
		st->dev.errh(err, "write failed", st->dev.arg);
	return !err;
}

int src_alloc(struct ausrc_st **stp, const struct ausrc *as,
	      struct ausrc_prm *prm, const char *device, ausrc_read_h *rh,
	      audev_error_h *errh, void *arg)
{
	(void)as;
	struct aufile_prm fprm{};
	struct file_st *st = nullptr;
	int err = file_open(&st, &fprm, device, AUFILE_READ, prm->ptime);
	if (err)
		return err;
	prm->srate = fprm.srate;
	prm->ch = fprm.channels;
	return audev_launch(&st->dev, (void **)stp, src_step, 0, rh, nullptr,
			    errh, arg);
}

int play_alloc(struct auplay_st **stp, const struct auplay *ap,
	       struct auplay_prm *prm, const char *device, auplay_write_h *wh,
	       audev_error_h *errh, void *arg)
{
	(void)ap;
	struct aufile_prm fprm{prm->srate, prm->ch, AUFMT_S16LE};
	struct file_st *st = nullptr;
	int err = file_open(&st, &fprm, device, AUFILE_WRITE, prm->ptime);
	if (err)
		return err;
	return audev_launch(&st->dev, (void **)stp, play_step, 0, nullptr, wh,
			    errh, arg);
}

} // namespace

int aufile_module_init(void)
{
	return audev_register("aufile", src_alloc, play_alloc);
}
