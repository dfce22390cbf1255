// sipua as a panel, for the audio benchmark: brings the library up from
// CONFIG_DIR, calls URI, prints "established" when the callee answers, hangs
// up after SECONDS and exits (0 after an answered call).
//   sipua_panel CONFIG_DIR URI SECONDS
#include <re.h>
#include <baresip.h>

#include <cstdio>
#include <cstdlib>

namespace {

struct call *current = nullptr;
bool answered = false;
struct tmr hangup_tmr;

void event_handler(struct ua *ua, enum ua_event ev, struct call *call,
		   const char *prm, void *arg)
{
	(void)ua;
	(void)prm;
	(void)arg;
	if (ev == UA_EVENT_CALL_ESTABLISHED && call == current) {
		answered = true;
		printf("established\n");
		fflush(stdout);
	}
	if (ev == UA_EVENT_CALL_CLOSED && call == current)
		re_cancel();
}

void hangup(void *arg)
{
	ua_hangup(static_cast<struct ua *>(arg), current, 0, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 4) {
		fprintf(stderr, "usage: sipua_panel CONFIG_DIR URI SECONDS\n");
		return 2;
	}
	struct ua *ua = nullptr;
	int err = libre_init();
	conf_path_set(argv[1]);
	if (!err)
		err = conf_configure();
	if (!err)
		err = baresip_init(conf_config());
	if (!err)
		err = ua_init("sipua-panel", true, false, false);
	if (!err)
		err = conf_modules();
	if (!err)
		err = uag_event_register(event_handler, nullptr);
	if (!err)
		err = ua_alloc(&ua, "sip:panel@127.0.0.1");
	if (!err)
		err = ua_connect(ua, &current, nullptr, argv[2], VIDMODE_OFF);
	if (!err) {
		tmr_init(&hangup_tmr);
		tmr_start(&hangup_tmr, strtoull(argv[3], nullptr, 10) * 1000,
			  hangup, ua);
		err = re_main(nullptr);
	}
	tmr_cancel(&hangup_tmr);
	ua_stop_all(true);
	ua_close();
	conf_close();
	baresip_close();
	libre_close();
	return err || !answered;
}
