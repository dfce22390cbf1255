// libre and the SIP library's API, readable from C++20 next to jansson.
// libre's headers trip -Wvolatile, and libre's JSON_STRING/JSON_NULL clash
// with jansson's enum; its two constants are renamed while it is read.
#pragma once

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wvolatile"
#define JSON_STRING RE_JSON_STRING
#define JSON_NULL RE_JSON_NULL
#include <re.h>
#include <baresip.h>
#undef JSON_STRING
#undef JSON_NULL
#pragma GCC diagnostic pop
