// Custom SIP headers (lists of struct sip_hdr): those the application sets
// on a call's responses, and the X- headers of the peer's last response.
#pragma once

#include "core.h"

// Appends a copy of `name: val`.
int  custom_hdrs_add_pl(struct list *hdrs, const struct pl *name,
			const struct pl *val);
// Makes `dst` a copy of `src`; on an error it keeps those copied so far.
int  custom_hdrs_copy(struct list *dst, const struct list *src);
// Makes `hdrs` the X- headers of `msg`.
void custom_hdrs_take_x(struct list *hdrs, const struct sip_msg *msg);
// One "Name: value\r\n" line each, for the stack's "%s".
int  custom_hdrs_print(char **strp, const struct list *hdrs);
