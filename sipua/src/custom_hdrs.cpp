// Custom SIP headers: copies of name and value, checked where the
// application writes them, so that none can end a header line early.
#include "custom_hdrs.h"

#include <cerrno>
#include <cstdarg>

namespace {

void hdr_destructor(void *arg)
{
	auto *h = static_cast<struct sip_hdr *>(arg);
	list_unlink(&h->le);
	mem_deref((void *)h->name.p);
	mem_deref((void *)h->val.p);
}

bool is_x_hdr(const struct pl *name)
{
	return name->l > 2 && (name->p[0] == 'X' || name->p[0] == 'x') &&
	       name->p[1] == '-';
}

} // namespace

int custom_hdrs_add_pl(struct list *hdrs, const struct pl *name,
		       const struct pl *val)
{
	auto *h = static_cast<struct sip_hdr *>(
		mem_zalloc(sizeof(struct sip_hdr), hdr_destructor));
	if (!h)
		return ENOMEM;
	int err = pl_dup(&h->name, name);
	if (!err)
		err = pl_dup(&h->val, val);
	if (err) {
		mem_deref(h);
		return err;
	}
	h->id = SIP_HDR_NONE;
	list_append(hdrs, &h->le, h);
	return 0;
}

int custom_hdrs_copy(struct list *dst, const struct list *src)
{
	list_flush(dst);
	for (struct le *le = src ? src->head : nullptr; le; le = le->next) {
		auto *h = static_cast<const struct sip_hdr *>(le->data);
		int err = custom_hdrs_add_pl(dst, &h->name, &h->val);
		if (err)
			return err;
	}
	return 0;
}

void custom_hdrs_take_x(struct list *hdrs, const struct sip_msg *msg)
{
	list_flush(hdrs);
	for (struct le *le = msg->hdrl.head; le; le = le->next) {
		auto *h = static_cast<const struct sip_hdr *>(le->data);
		if (is_x_hdr(&h->name))
			(void)custom_hdrs_add_pl(hdrs, &h->name, &h->val);
	}
}

int custom_hdrs_print(char **strp, const struct list *hdrs)
{
	*strp = nullptr;
	struct mbuf *mb = mbuf_alloc(128);
	if (!mb)
		return ENOMEM;
	int err = 0;
	for (struct le *le = hdrs ? hdrs->head : nullptr; le; le = le->next) {
		auto *h = static_cast<struct sip_hdr *>(le->data);
		err |= mbuf_printf(mb, "%r: %r\r\n", &h->name, &h->val);
	}
	if (!err) {
		mb->pos = 0;
		err = mbuf_strdup(mb, strp, mb->end);
	}
	mem_deref(mb);
	return err;
}

extern "C" {

int custom_hdrs_add(struct list *hdrs, const char *name, const char *fmt, ...)
{
	if (!hdrs || !name || !*name || !fmt)
		return EINVAL;
	// A header name is a token; a value never ends its line early.
	for (const char *p = name; *p; ++p) {
		const unsigned char c = (unsigned char)*p;
		if (c <= 0x20 || c >= 0x7f || c == ':')
			return EINVAL;
	}
	char *value = nullptr;
	va_list ap;
	va_start(ap, fmt);
	int err = re_vsdprintf(&value, fmt, ap);
	va_end(ap);
	if (err)
		return err;
	for (const char *p = value; *p; ++p) {
		if (*p == '\r' || *p == '\n' || *p == '\0') {
			mem_deref(value);
			return EINVAL;
		}
	}
	struct pl n, v;
	pl_set_str(&n, name);
	pl_set_str(&v, value);
	err = custom_hdrs_add_pl(hdrs, &n, &v);
	mem_deref(value);
	return err;
}

} // extern "C"
