// Calls: SIP session, SDP offer/answer, call events and teardown. The record
// is this file's own; the rest of the agent goes through call.h.
#include "call.h"
#include "cancel.h"
#include "custom_hdrs.h"
#include "media.h"
#include "srtp.h"
#include "video.h"

#include <cerrno>
#include <cstring>
#include <strings.h>
#include <netinet/in.h>

enum call_state {
	CALL_STATE_IDLE = 0,
	CALL_STATE_INCOMING,    // offered, not yet answered
	CALL_STATE_OUTGOING,    // INVITE sent, no final answer
	CALL_STATE_EARLY,       // 1xx received
	CALL_STATE_ANSWERED,    // 200 sent, waiting for the ACK
	CALL_STATE_ESTABLISHED,
	CALL_STATE_TERMINATED,
};

struct call {
	struct le le;             // in the agent's call list
	struct ua *ua;
	struct sipsess *sess;
	const struct sip_msg *msg;  // incoming INVITE until it is accepted
	struct list hdrs;         // struct sip_hdr
	char *local_uri;
	char *peer_uri;
	char *id;
	struct sa src;            // where an incoming INVITE came from
	enum call_state state;
	enum vidmode vmode;
	enum vidmode pending_vmode;
	uint16_t scode;
	bool outgoing;
	bool got_offer;
	bool answer_pending;
	bool peer_closed;
	bool closed;
	unsigned auth_tries;
	struct tmr tmr_inv;       // rings out an incoming call nobody answers
	struct flow *flow;        // an INVITE waiting for its connection
	bool invite_pending;      // the offer waits for the public addresses

	struct media *media;
	bool codec_failed;        // the answer had no codec in common
	bool menc_failed;         // the answer left required SRTP out
	bool addr_failed;         // the answer's media address was unusable
	uint64_t info_time;       // the last key by INFO, and when
	char info_key;
};

namespace {

const char *reason_phrase(uint16_t scode)
{
	switch (scode) {
	case 400: return "Bad Request";
	case 403: return "Forbidden";
	case 404: return "Not Found";
	case 408: return "Request Timeout";
	case 480: return "Temporarily Unavailable";
	case 486: return "Busy Here";
	case 487: return "Request Terminated";
	case 488: return "Not Acceptable Here";
	case 500: return "Server Internal Error";
	case 503: return "Service Unavailable";
	case 603: return "Decline";
	default:  return scode < 500 ? "Rejected" : "Error";
	}
}

// Reason texts go into a status line: refuse anything that could end it.
const char *safe_reason(const char *reason, uint16_t scode)
{
	if (!reason || !*reason)
		return reason_phrase(scode);
	for (const char *p = reason; *p; ++p) {
		if ((unsigned char)*p < 0x20 || *p == 0x7f)
			return reason_phrase(scode);
	}
	return reason;
}

void invite_timeout(void *arg)
{
	auto *call = static_cast<struct call *>(arg);
	sipua_log("call: %s not answered in time\n", call->peer_uri);
	call_terminate(call, 0, nullptr, true, "Local timeout");
}

void call_destructor(void *arg)
{
	auto *call = static_cast<struct call *>(arg);
	list_unlink(&call->le);
	tmr_cancel(&call->tmr_inv);
	call->media = (struct media *)mem_deref(call->media);
	call->flow = (struct flow *)mem_deref(call->flow);
	call->sess = (struct sipsess *)mem_deref(call->sess);
	mem_deref((void *)call->msg);
	mem_deref(call->local_uri);
	mem_deref(call->peer_uri);
	mem_deref(call->id);
	list_flush(&call->hdrs);
}

// Sends an event about the call; false when the call was closed by a
// handler meanwhile (the caller must then leave it alone).
bool call_emit(struct call *call, enum ua_event ev, const char *prm)
{
	mem_ref(call);
	ua_event(call->ua, ev, call, "%s", prm);
	const bool alive = !call->closed;
	mem_deref(call);
	return alive;
}

// The caller reads the X- headers of the last response of an outgoing call.
void store_response_hdrs(struct call *call, const struct sip_msg *msg)
{
	if (!call->outgoing || !msg || msg->req)
		return;
	custom_hdrs_take_x(&call->hdrs, msg);
}

int auth_handler(char **username, char **password, const char *realm,
		 void *arg)
{
	(void)realm;
	auto *call = static_cast<struct call *>(arg);
	struct account *acc = call->ua->acc;
	if (!acc->auth_pass || ++call->auth_tries > 1)
		return EAUTH;
	int err = str_dup(username, acc->auth_user);
	err |= str_dup(password, acc->auth_pass);
	return err;
}

// An offer whose media would go unprotected though SRTP is wanted is
// refused (488), and counted.
bool offer_insecure(struct call *call)
{
	if (!media_secure(call->media, true))
		return false;
	sipua_count(SIPUA_OFFER_REFUSED);
	sipua_warn("call: %s offered no usable SRTP key, refused\n",
		   call->peer_uri ? call->peer_uri : "peer");
	return true;
}

// Our RTP/SAVP-only offer refused by the peer: its answer left SRTP out,
// or it answered 488.
bool menc_refused(const struct call *call, const struct sip_msg *msg)
{
	return call->menc_failed ||
	       (call->outgoing && msg && msg->scode == 488 &&
		srtp_mode(call->ua->acc) == MENC_SRTP_MAND);
}

// Session callbacks ---------------------------------------------------------

int offer_handler(struct mbuf **descp, const struct sip_msg *msg, void *arg)
{
	auto *call = static_cast<struct call *>(arg);
	if (call->closed)
		return EPROTO;
	if (mbuf_get_left(msg->mb)) {
		int err = sdp_decode(media_sdp(call->media), msg->mb, true);
		if (err)
			return err;
		if (!media_codec_ok(call->media) || offer_insecure(call))
			return EPROTO;  // a re-offer gets 488, the call goes on
		call->got_offer = true;
		media_update(call->media);
	}
	return sdp_encode(descp, media_sdp(call->media),
			  !mbuf_get_left(msg->mb));
}

int answer_handler(const struct sip_msg *msg, void *arg)
{
	auto *call = static_cast<struct call *>(arg);
	if (call->closed)
		return 0;  // cancelled: the answer only leads to a BYE
	store_response_hdrs(call, msg);
	if (!mbuf_get_left(msg->mb))
		return 0;
	if (msg_ctype_cmp(&msg->ctyp, "multipart", "mixed"))
		return EPROTO;
	char why[128];
	if (!sdp_addr_usable(msg->mb, why, sizeof(why))) {
		call->addr_failed = true;
		sipua_count(SIPUA_OFFER_REFUSED);
		sipua_warn("call: %s answered with media address %s, ending "
			   "the call\n", call->peer_uri, why);
		return EPROTO;
	}
	int err = sdp_decode(media_sdp(call->media), msg->mb, false);
	if (err)
		return err;
	if (media_secure(call->media, false)) {
		// As with a codec: ACKed, then BYE; the close says why.
		call->menc_failed = true;
		sipua_warn("call: %s answered without SRTP, which is "
			   "required; ending the call\n", call->peer_uri);
		return EPROTO;
	}
	if (!media_codec_ok(call->media)) {
		// The stack ACKs and sends BYE; the close says why.
		call->codec_failed = true;
		sipua_warn("call: %s answered with no audio codec in common, "
			   "ending the call\n", call->peer_uri);
		return EPROTO;
	}
	media_update(call->media);
	return 0;
}

void progress_handler(const struct sip_msg *msg, void *arg)
{
	auto *call = static_cast<struct call *>(arg);
	if (msg->scode <= 100 || call->closed)
		return;
	store_response_hdrs(call, msg);
	call->state = CALL_STATE_EARLY;
	if (msg->scode == 180)
		video_ringing(media_video(call->media));
	if (msg->scode == 180)
		(void)call_emit(call, UA_EVENT_CALL_RINGING, call->peer_uri);
	else
		(void)call_emit(call, UA_EVENT_CALL_PROGRESS, call->peer_uri);
}

void estab_handler(const struct sip_msg *msg, void *arg)
{
	auto *call = static_cast<struct call *>(arg);
	if (call->closed) {
		cancel_done(call);  // answered across our CANCEL: BYE
		return;
	}
	if (call->state == CALL_STATE_ESTABLISHED)
		return;
	if (call->outgoing && msg && !msg->req) {
		call->scode = msg->scode;
		store_response_hdrs(call, msg);
		// The callee took the call. Raised here, the last step of the
		// stack's 2xx handling, a handler may end the call safely.
		if (!call_emit(call, UA_EVENT_CALL_ANSWERED, call->peer_uri))
			return;
	}
	call->state = CALL_STATE_ESTABLISHED;
	media_start(call->media, call->vmode, true);
	(void)call_emit(call, UA_EVENT_CALL_ESTABLISHED, call->peer_uri);
}

// "Signal=5\r\nDuration=160" (dtmf-relay) or a lone key (application/dtmf).
char info_key(const struct sip_msg *msg)
{
	struct pl body = {(const char *)mbuf_buf(msg->mb),
			  mbuf_get_left(msg->mb)};
	struct pl sig;
	if (msg_ctype_cmp(&msg->ctyp, "application", "dtmf-relay")) {
		if (re_regex(body.p, body.l, "Signal[ \t]*=[ \t]*[0-9A-Da-d*#]1",
			     nullptr, nullptr, &sig))
			return 0;
		return sig.p[0];
	}
	if (msg_ctype_cmp(&msg->ctyp, "application", "dtmf")) {
		if (re_regex(body.p, body.l, "[0-9A-Da-d*#]1", &sig))
			return 0;
		return sig.p[0];
	}
	return 0;
}

void info_handler(struct sip *sip, const struct sip_msg *msg, void *arg)
{
	auto *call = static_cast<struct call *>(arg);
	// A handset asking for a full picture (RFC 5168).
	if (msg_ctype_cmp(&msg->ctyp, "application", "media_control+xml")) {
		const struct pl body = {(const char *)mbuf_buf(msg->mb),
					mbuf_get_left(msg->mb)};
		const bool asks = !re_regex(body.p, body.l,
					    "picture_fast_update");
		(void)sip_treply(nullptr, sip, msg, asks ? 200 : 400,
				 asks ? "OK" : "Bad Request");
		if (asks)
			(void)video_refresh(media_video(call->media));
		return;
	}
	const bool dtmf_type =
		msg_ctype_cmp(&msg->ctyp, "application", "dtmf-relay") ||
		msg_ctype_cmp(&msg->ctyp, "application", "dtmf");
	if (!dtmf_type) {
		(void)sip_treplyf(nullptr, nullptr, sip, msg, false, 415,
				  "Unsupported Media Type",
				  "Accept: application/dtmf-relay\r\n"
				  "Content-Length: 0\r\n\r\n");
		return;
	}
	const char key = info_key(msg);
	if (!key) {
		(void)sip_treply(nullptr, sip, msg, 400, "Bad Request");
		return;
	}
	(void)sip_treply(nullptr, sip, msg, 200, "OK");
	char k[2] = {key, '\0'};
	if (k[0] >= 'a' && k[0] <= 'd')
		k[0] = (char)(k[0] - 'a' + 'A');
	// Keys open doors: only in a call that is up, and a key sent again
	// within 200 ms is the same press.
	const uint64_t now = tmr_jiffies();
	const bool repeat = k[0] == call->info_key &&
			    now - call->info_time < 200;
	call->info_key = k[0];
	call->info_time = now;
	if (call->state != CALL_STATE_ESTABLISHED || repeat)
		return;
	if (call_emit(call, UA_EVENT_CALL_DTMF_START, k))
		(void)call_emit(call, UA_EVENT_CALL_DTMF_END, k);
}

// A key to a peer without telephone events.
int send_dtmf_info(struct call *call, char key)
{
	struct mbuf *mb = mbuf_alloc(32);
	if (!mb)
		return ENOMEM;
	int err = mbuf_printf(mb, "Signal=%c\r\nDuration=250\r\n", key);
	mb->pos = 0;
	if (!err)
		err = sipsess_info(call->sess, "application/dtmf-relay", mb,
				   nullptr, nullptr);
	mem_deref(mb);
	return err;
}

void close_handler(int err, const struct sip_msg *msg, void *arg)
{
	auto *call = static_cast<struct call *>(arg);
	if (call->closed) {
		cancel_done(call);  // the INVITE our CANCEL ended
		return;
	}
	char prm[128] = "";
	call->peer_closed = true;
	if (menc_refused(call, msg)) {
		call->scode = 488;
		(void)re_snprintf(prm, sizeof(prm),
				  "Media encryption required");
	}
	else if (call->codec_failed) {
		call->scode = 488;
		(void)re_snprintf(prm, sizeof(prm), "No common audio codecs");
	}
	else if (call->addr_failed) {
		call->scode = 488;
		(void)re_snprintf(prm, sizeof(prm), "Unusable media address");
	}
	else if (err) {
		(void)re_snprintf(prm, sizeof(prm), "%m", err);
	}
	else if (msg) {
		call->scode = msg->scode;
		(void)re_snprintf(prm, sizeof(prm), "%u %r", msg->scode,
				  &msg->reason);
	}
	// The caller gave up while we rang: the stack has answered it 487.
	if (!call->outgoing && call->state == CALL_STATE_INCOMING &&
	    err == ECONNRESET)
		call->scode = 487;
	call_terminate(call, 0, nullptr, true, prm);
}

int call_alloc(struct call **callp, struct ua *ua, bool outgoing,
	       bool video)
{
	auto *call = static_cast<struct call *>(
		mem_zalloc(sizeof(struct call), call_destructor));
	if (!call)
		return ENOMEM;
	call->ua = ua;
	call->outgoing = outgoing;
	tmr_init(&call->tmr_inv);
	list_init(&call->hdrs);
	int err = media_alloc(&call->media, call, video);
	if (err) {
		mem_deref(call);
		return err;
	}
	*callp = call;
	return 0;
}

bool offer_has_video(const struct sip_msg *msg)
{
	const char *p = (const char *)mbuf_buf(msg->mb);
	const size_t n = mbuf_get_left(msg->mb);
	static const char tag[] = "\nm=video ";
	if (n < sizeof(tag))
		return false;
	for (size_t i = 0; i + sizeof(tag) - 1 <= n; ++i) {
		if (!memcmp(p + i, tag, sizeof(tag) - 1))
			return true;
	}
	return false;
}

int send_answer(struct call *call, enum vidmode vmode)
{
	if (!media_ready(call->media)) {
		// The answer names the public addresses: it goes once known.
		call->answer_pending = true;
		call->pending_vmode = vmode;
		return 0;
	}
	if (vmode == VIDMODE_OFF)
		video_refuse(media_video(call->media));
	struct mbuf *desc = nullptr;
	int err = sdp_encode(&desc, media_sdp(call->media), !call->got_offer);
	if (err)
		return err;
	char *hdrs = nullptr;
	err = custom_hdrs_print(&hdrs, &call->hdrs);
	if (!err)
		err = sipsess_answer(call->sess, 200, "OK", desc, "%s",
				     hdrs ? hdrs : "");
	mem_deref(hdrs);
	mem_deref(desc);
	if (err)
		return err;
	tmr_cancel(&call->tmr_inv);
	call->scode = 200;
	call->state = CALL_STATE_ANSWERED;
	call->vmode = vmode;
	if (call->got_offer)
		media_start(call->media, call->vmode, false);
	return 0;
}

// A refusal with the usual phrase of its status, and one line saying why:
// a call that never rang leaves no other trace.
int refuse(const struct sip_msg *msg, uint16_t scode, const char *why)
{
	refusal_log(&msg->src, scode, why, "ua: %r from %r refused: %u %s (%s)",
		    &msg->met, &msg->from.auri, scode, reason_phrase(scode),
		    why);
	return sip_treply(nullptr, uag.sip, msg, scode, reason_phrase(scode));
}

// The call of an incoming INVITE, its offer taken; else the status to
// refuse the INVITE with.
uint16_t incoming_alloc(struct call **callp, struct ua *ua,
			const struct sip_msg *msg, const char **why)
{
	const bool has_body = mbuf_get_left(msg->mb) > 0;
	struct call *call = nullptr;
	*why = "out of memory";
	if (call_alloc(&call, ua, false, has_body && offer_has_video(msg)))
		return 500;

	uint16_t scode = 0;
	if (has_body) {
		const int err = sdp_decode(media_sdp(call->media), msg->mb, true);
		scode = 488;
		if (err == EBADMSG || err == EINVAL) {
			scode = 400;
			*why = "offer does not parse";
		}
		else if (err)
			*why = "offer not taken";
		else if (!media_codec_ok(call->media))
			*why = "no audio codec in common";
		else if (offer_insecure(call))
			*why = "media encryption not as required";
		else
			scode = 0;
	}
	if (scode) {
		mem_deref(call);
		return scode;
	}
	if (has_body) {
		call->got_offer = true;
		media_update(call->media);
	}

	call->src = msg->src;
	int err = pl_strdup(&call->peer_uri, &msg->from.auri);
	err |= pl_strdup(&call->local_uri, &msg->to.auri);
	err |= pl_strdup(&call->id, &msg->callid);
	if (err) {
		mem_deref(call);
		return 500;
	}
	*callp = call;
	return 0;
}

// 180 with the headers the application set; the session takes the INVITE.
int ring(struct call *call, const struct sip_msg *msg)
{
	char *hdrs = nullptr;
	int err = custom_hdrs_print(&hdrs, &call->hdrs);
	if (!err)
		err = sipsess_accept(&call->sess, uag.sock, msg, 180, "Ringing",
				     call->ua->acc->user, "application/sdp",
				     nullptr, auth_handler, call, false,
				     offer_handler, answer_handler,
				     estab_handler, info_handler, nullptr,
				     close_handler, call, "%s",
				     hdrs ? hdrs : "");
	mem_deref(hdrs);
	call->msg = static_cast<const struct sip_msg *>(
		mem_deref((void *)call->msg));
	return err;
}

// A ringing call: answered now if the application or the account says so.
void after_ringing(struct call *call)
{
	// A call nobody answers is turned away once the configured time is up.
	if (uag.cfg && uag.cfg->call.local_timeout)
		tmr_start(&call->tmr_inv,
			  (uint64_t)uag.cfg->call.local_timeout * 1000,
			  invite_timeout, call);
	int err = 0;
	if (call->answer_pending) {
		call->answer_pending = false;
		err = send_answer(call, call->pending_vmode);
	}
	else if (call->ua->acc->answermode == ANSWERMODE_AUTO) {
		err = send_answer(call, VIDMODE_ON);
	}
	if (err)
		call_terminate(call, 500, nullptr, true,
			       "500 Server Internal Error");
}

} // namespace

// Incoming INVITE ------------------------------------------------------------

int call_accept_incoming(struct ua *ua, const struct sip_msg *msg)
{
	if (mbuf_get_left(msg->mb) &&
	    !msg_ctype_cmp(&msg->ctyp, "application", "sdp")) {
		refusal_log(&msg->src, 415, "content type",
			    "ua: INVITE from %r refused: 415 Unsupported "
			    "Media Type (%r)", &msg->from.auri,
			    &msg->ctyp.type);
		return sip_treplyf(nullptr, nullptr, uag.sip, msg, false, 415,
				   "Unsupported Media Type",
				   "Accept: application/sdp\r\n"
				   "Content-Length: 0\r\n\r\n");
	}
	if (uag.cfg && uag.cfg->call.max_calls &&
	    list_count(&ua->calls) >= uag.cfg->call.max_calls)
		return refuse(msg, 486, "at the call limit");

	struct call *call = nullptr;
	const char *why = "";
	const uint16_t scode = incoming_alloc(&call, ua, msg, &why);
	if (scode)
		return refuse(msg, scode, why);
	call->msg = static_cast<const struct sip_msg *>(mem_ref((void *)msg));
	call->state = CALL_STATE_INCOMING;
	list_append(&ua->calls, &call->le, call);

	(void)sip_reply(uag.sip, msg, 100, "Trying");

	// The application decides first: reject, answer, or set headers for
	// the ringing response.
	if (!call_emit(call, UA_EVENT_CALL_INCOMING, call->peer_uri))
		return 0;

	const int err = ring(call, msg);
	if (err) {
		call->peer_closed = true;
		(void)refuse(msg, 500, "cannot ring");
		call_terminate(call, 0, nullptr, true, "500 Server Internal Error");
		return err;
	}
	video_ringing(media_video(call->media));
	after_ringing(call);
	return 0;
}

bool call_is_pending_incoming(const struct call *call)
{
	return call && !call->outgoing && call->state == CALL_STATE_INCOMING &&
	       !call->answer_pending && !call->closed;
}

int call_answer_local(struct call *call, enum vidmode vmode)
{
	if (!call || call->closed || call->outgoing)
		return EINVAL;
	if (call->state != CALL_STATE_INCOMING)
		return EALREADY;
	if (!call->sess) {
		// Still inside the incoming event: answer right after it.
		call->answer_pending = true;
		call->pending_vmode = vmode;
		return 0;
	}
	return send_answer(call, vmode);
}

// Outgoing INVITE ------------------------------------------------------------

namespace {

// "1201" or "sip:1201" go to the account's domain, as the original library
// completes them.
int complete_uri(char **uri, const struct account *acc, const char *req)
{
	const bool scheme = !strncasecmp(req, "sip:", 4) ||
			    !strncasecmp(req, "sips:", 5);
	if (strchr(req, '@') || !*req)
		return str_dup(uri, req);
	const char *user = scheme ? strchr(req, ':') + 1 : req;
	if (!*user)
		return EINVAL;
	if (acc->port)
		return re_sdprintf(uri, "sip:%s@%s:%u", user, acc->host,
				   acc->port);
	return re_sdprintf(uri, "sip:%s@%s", user, acc->host);
}

// The INVITE; `contact` null gives the usual Contact.
int invite_send(struct call *call, const char *contact)
{
	struct ua *ua = call->ua;
	struct mbuf *desc = nullptr;
	int err = sdp_encode(&desc, media_sdp(call->media), true);
	if (err)
		return err;
	const char *routev[1] = {ua->acc->outbound};
	err = sipsess_connect(&call->sess, uag.sock, call->peer_uri, nullptr,
			      call->local_uri, contact ? contact : ua->acc->user,
			      ua->acc->outbound ? routev : nullptr,
			      ua->acc->outbound ? 1 : 0, "application/sdp",
			      desc, auth_handler, call, false, offer_handler,
			      answer_handler, progress_handler, estab_handler,
			      info_handler, nullptr, close_handler, call,
			      nullptr);
	mem_deref(desc);
	if (err)
		return err;
	struct sip_dialog *dlg = sipsess_dialog(call->sess);
	if (dlg)
		(void)str_dup(&call->id, sip_dialog_callid(dlg));
	return 0;
}

// The connection of a call over TLS is open (or will not be waited for).
void flow_ready(struct call *call, const char *contact, int err)
{
	if (!err)
		err = invite_send(call, contact);
	call->flow = (struct flow *)mem_deref(call->flow);
	if (err) {
		char prm[64];
		(void)re_snprintf(prm, sizeof(prm), "%m", err);
		call_terminate(call, 0, nullptr, true, prm);
	}
}

// The INVITE goes now, or once its TLS connection is up.
int invite_start(struct call *call)
{
	struct ua *ua = call->ua;
	if (!uag.tls_on)
		return invite_send(call, nullptr);
	int err = flow_open(&call->flow, call, call->peer_uri,
			    ua->acc->outbound, ua->acc->user, flow_ready);
	if (err == EINPROGRESS)
		return 0;  // the INVITE follows once the connection is up
	if (!err) {
		err = invite_send(call, flow_contact(call->flow));
		call->flow = (struct flow *)mem_deref(call->flow);
	}
	return err;
}

int connect_uri(struct call **callp, struct ua *ua, const char *from_uri,
		const char *req_uri, enum vidmode vmode)
{
	struct pl rp;
	struct uri uri;
	pl_set_str(&rp, req_uri);
	if (uri_decode(&uri, &rp) || !pl_isset(&uri.host))
		return EINVAL;
	int err = next_hop_reserved("INVITE", req_uri, ua->acc->outbound);
	if (err)
		return err;

	struct call *call = nullptr;
	err = call_alloc(&call, ua, true, vmode == VIDMODE_ON);
	if (err)
		return err;
	call->vmode = vmode;
	err  = str_dup(&call->peer_uri, req_uri);
	err |= str_dup(&call->local_uri, from_uri ? from_uri : ua->acc->aor);
	if (!err && !media_ready(call->media))
		call->invite_pending = true;  // the offer names the public addresses
	else if (!err)
		err = invite_start(call);
	if (err) {
		mem_deref(call);
		return err;
	}
	call->state = CALL_STATE_OUTGOING;
	list_append(&ua->calls, &call->le, call);
	if (callp)
		*callp = call;
	(void)call_emit(call, UA_EVENT_CALL_OUTGOING, call->peer_uri);
	return 0;
}

} // namespace

int call_connect_out(struct call **callp, struct ua *ua, const char *from_uri,
		     const char *req_arg, enum vidmode vmode)
{
	char *req_uri = nullptr;
	int err = complete_uri(&req_uri, ua->acc, req_arg);
	if (err)
		return err;
	err = connect_uri(callp, ua, from_uri, req_uri, vmode);
	mem_deref(req_uri);
	return err;
}

// Teardown -------------------------------------------------------------------

void call_terminate(struct call *call, uint16_t scode, const char *reason,
		    bool emit, const char *prm)
{
	if (!call || call->closed)
		return;
	call->closed = true;
	const enum call_state prev = call->state;
	call->state = CALL_STATE_TERMINATED;
	tmr_cancel(&call->tmr_inv);
	call->flow = (struct flow *)mem_deref(call->flow);
	media_close(call->media);

	if (!call->peer_closed && !call->outgoing &&
	    prev == CALL_STATE_INCOMING) {
		const uint16_t code = scode >= 300 && scode <= 699 ? scode : 486;
		const char *why = safe_reason(scode >= 300 ? reason : nullptr,
					      code);
		char *hdrs = nullptr;
		(void)custom_hdrs_print(&hdrs, &call->hdrs);
		// The end of the headers is ours to write: without it a
		// stream transport never sees the reply end.
		if (call->sess)
			(void)sipsess_reject(call->sess, code, why,
					     "%sContent-Length: 0\r\n\r\n",
					     hdrs ? hdrs : "");
		else if (call->msg)
			(void)sip_treplyf(nullptr, nullptr, uag.sip, call->msg,
					  false, code, why,
					  "%sContent-Length: 0\r\n\r\n",
					  hdrs ? hdrs : "");
		mem_deref(hdrs);
		call->scode = code;
		refusal_log(&call->src, code, why,
			    "ua: INVITE from %s refused: %u %s",
			    call->peer_uri ? call->peer_uri : "peer", code,
			    why);
	}
	// Releasing the session sends BYE or CANCEL as its state needs; a
	// ringing call ended with a status and text gets our CANCEL instead.
	if (call->outgoing && prev == CALL_STATE_EARLY && !call->peer_closed)
		(void)cancel_with_reason(call, call->sess, scode, reason);
	call->sess = (struct sipsess *)mem_deref(call->sess);
	call->msg = static_cast<const struct sip_msg *>(
		mem_deref((void *)call->msg));

	if (emit) {
		mem_ref(call);
		ua_event(call->ua, UA_EVENT_CALL_CLOSED, call, "%s",
			 prm ? prm : "");
		list_unlink(&call->le);
		mem_deref(call);  // the event's hold
	}
	else {
		list_unlink(&call->le);
	}
	mem_deref(call);  // the agent's hold
}

void call_close_silent(struct call *call)
{
	if (!call)
		return;
	if (call->closed) {
		list_unlink(&call->le);
		return;
	}
	call->peer_closed = call->peer_closed || call->msg == nullptr;
	call_terminate(call, 503, "Service Unavailable", false, nullptr);
}

extern "C" {

void call_hangup(struct call *call, uint16_t scode, const char *reason)
{
	if (!call || !uag_find_call_owner(call))
		return;
	call_terminate(call, scode, reason, true,
		       reason ? reason : "Connection reset by user");
}

uint16_t call_scode(const struct call *call)
{
	return call ? call->scode : 0;
}

const char *call_id(const struct call *call)
{
	return call ? call->id : nullptr;
}

const char *call_peeruri(const struct call *call)
{
	return call ? call->peer_uri : nullptr;
}

const char *call_localuri(const struct call *call)
{
	return call ? call->local_uri : nullptr;
}

struct ua *call_get_ua(const struct call *call)
{
	return call ? call->ua : nullptr;
}

int call_set_custom_hdrs(struct call *call, const struct list *hdrs)
{
	if (!call)
		return EINVAL;
	return custom_hdrs_copy(&call->hdrs, hdrs);
}

const struct list *call_get_custom_hdrs(const struct call *call)
{
	return call ? &call->hdrs : nullptr;
}

int call_send_digit(struct call *call, char key)
{
	if (!call || call->closed || !media_audio(call->media))
		return EINVAL;
	const bool release = key == KEYCODE_REL || key == KEYCODE_NONE;
	if (!release && telev_digit2code((unsigned char)key) < 0)
		return EINVAL;
	if (!release && call->sess && media_telev_missing(call->media))
		return send_dtmf_info(call, key);
	return media_send_digit(call->media, key);
}

bool call_has_audio(const struct call *call)
{
	return call && !call->closed && media_has_audio(call->media);
}

bool call_has_video(const struct call *call)
{
	return call && !call->closed &&
	       video_taken(media_video(call->media));
}

struct audio *call_audio(const struct call *call)
{
	return call_has_audio(call) ? media_audio(call->media) : nullptr;
}

void call_enable_rtp_timeout(struct call *call, uint32_t timeout_ms)
{
	if (!call || call->closed)
		return;
	media_set_rtp_timeout(call->media, timeout_ms,
			      call->state == CALL_STATE_ESTABLISHED);
}

int call_get_raddress(void *buf, size_t size, const struct call *call)
{
	if (!buf || size < sizeof(struct sockaddr_in) || !call)
		return EINVAL;
	struct sockaddr_in sin;
	memset(&sin, 0, sizeof(sin));
	sin.sin_family = AF_INET;
	const struct sdp_media *am = media_audio_line(call->media);
	const struct sa *ra = am ? sdp_media_raddr(am) : nullptr;
	if (ra && sa_af(ra) == AF_INET) {
		sin.sin_port = htons(sa_port(ra));
		sin.sin_addr.s_addr = htonl(sa_in(ra));
	}
	else if (ra && sa_af(ra) != AF_UNSPEC && sa_isset(ra, SA_ADDR)) {
		return EAFNOSUPPORT;
	}
	memcpy(buf, &sin, sizeof(sin));
	return 0;
}

} // extern "C"

void call_media_ready(struct call *call)
{
	if (call->closed)
		return;
	int err = 0;
	if (call->invite_pending) {
		call->invite_pending = false;
		err = invite_start(call);
	}
	else if (call->answer_pending && call->sess &&
		 call->state == CALL_STATE_INCOMING) {
		call->answer_pending = false;
		err = send_answer(call, call->pending_vmode);
	}
	if (err) {
		char prm[64];
		(void)re_snprintf(prm, sizeof(prm), "%m", err);
		call_terminate(call, 500, nullptr, true, prm);
	}
}

bool call_media_event(struct call *call, enum ua_event ev, const char *prm)
{
	// Keys open doors: only once the call is up.
	if ((ev == UA_EVENT_CALL_DTMF_START || ev == UA_EVENT_CALL_DTMF_END) &&
	    call->state != CALL_STATE_ESTABLISHED)
		return !call->closed;
	return call_emit(call, ev, prm ? prm : "");
}

void call_stream_error(struct call *call)
{
	call->scode = 701;  // the library's code for a failed stream
	call_terminate(call, 0, nullptr, true, "rtp stream error");
}

struct account *call_account(const struct call *call)
{
	return call ? call->ua->acc : nullptr;
}
