// Temporary: every operation fails until the user agent is written.
#include <re.h>
#include <baresip.h>
#include <cerrno>
#include <cstdarg>

extern "C" {
const char *account_aor(const struct account *) { return nullptr; }
const char *account_auth_user(const struct account *) { return nullptr; }
const char *account_auth_pass(const struct account *) { return nullptr; }
const char *account_outbound(const struct account *, unsigned) { return nullptr; }
uint32_t account_regint(const struct account *) { return 0; }
struct sip_addr *account_laddr(const struct account *) { return nullptr; }
enum answermode account_answermode(const struct account *) { return ANSWERMODE_MANUAL; }
int call_send_digit(struct call *, char) { return ENOSYS; }
bool call_has_audio(const struct call *) { return false; }
bool call_has_video(const struct call *) { return false; }
void call_hangup(struct call *, uint16_t, const char *) {}
int call_answer(struct call *, uint16_t, enum vidmode) { return ENOSYS; }
uint16_t call_scode(const struct call *) { return 0; }
const char *call_id(const struct call *) { return nullptr; }
const char *call_peeruri(const struct call *) { return nullptr; }
const char *call_peername(const struct call *) { return nullptr; }
const char *call_localuri(const struct call *) { return nullptr; }
struct audio *call_audio(const struct call *) { return nullptr; }
struct video *call_video(const struct call *) { return nullptr; }
struct ua *call_get_ua(const struct call *) { return nullptr; }
bool call_is_outgoing(const struct call *) { return false; }
uint32_t call_duration(const struct call *) { return 0; }
void call_enable_rtp_timeout(struct call *, uint32_t) {}
int call_set_custom_hdrs(struct call *, const struct list *) { return ENOSYS; }
const struct list *call_get_custom_hdrs(const struct call *) { return nullptr; }
int call_get_raddress(void *, size_t, const struct call *) { return ENOSYS; }
int custom_hdrs_add(struct list *, const char *, const char *, ...) { return ENOSYS; }
int custom_hdrs_apply(const struct list *, custom_hdrs_h *, void *) { return 0; }
int conf_configure(void) { return ENOSYS; }
int conf_modules(void) { return ENOSYS; }
void conf_path_set(const char *) {}
int conf_path_get(char *, size_t) { return ENOSYS; }
void conf_close(void) {}
struct conf *conf_cur(void) { return nullptr; }
struct config *conf_config(void) { return nullptr; }
void module_app_unload(void) {}
int ua_alloc(struct ua **, const char *) { return ENOSYS; }
int ua_connect(struct ua *, struct call **, const char *, const char *, enum vidmode) { return ENOSYS; }
void ua_hangup(struct ua *, struct call *, uint16_t, const char *) {}
int ua_answer(struct ua *, struct call *, enum vidmode) { return ENOSYS; }
int ua_register(struct ua *) { return ENOSYS; }
void ua_unregister(struct ua *) {}
bool ua_isregistered(const struct ua *) { return false; }
const char *ua_aor(const struct ua *) { return nullptr; }
struct account *ua_account(const struct ua *) { return nullptr; }
struct list *ua_calls(const struct ua *) { return nullptr; }
struct call *ua_call(const struct ua *) { return nullptr; }
int ua_init(const char *, bool, bool, bool) { return ENOSYS; }
void ua_close(void) {}
void ua_stop_all(bool) {}
void uag_set_exit_handler(ua_exit_h *, void *) {}
int uag_event_register(ua_event_h *, void *) { return ENOSYS; }
void uag_event_unregister(ua_event_h *) {}
const char *uag_event_str(enum ua_event) { return "?"; }
struct list *uag_list(void) { return nullptr; }
struct sip *uag_sip(void) { return nullptr; }
struct ua *uag_find_aor(const char *) { return nullptr; }
int baresip_init(struct config *) { return ENOSYS; }
void baresip_close(void) {}
}
