// Per-flat SIP accounts: the in-memory list, its file and the bus handlers.
//
// The list is read from the SIP thread while the bus thread changes it; each
// lookup and each change holds the list's lock, so a lookup sees a flat's
// accounts before or after a change, never half of it. A change reaches
// memory only once the file holds it.
#pragma once

#include <dbus/dbus.h>
#include <jansson.h>

// Start-up load of <root>/oem/sip_accounts.conf. A missing file gives an empty
// list; a file that does not hold a JSON object is logged and renamed to
// "<file>.bad" so the next save cannot destroy it.
void LoadAccounts();
// Drops the list (tests and shutdown).
void FreeAccounts();

// A new reference to the whole current list (never null); release it.
json_t *AccountsSnapshot();
// Number of accounts when the flat's value is an array, else 0.
int CountFlatAccounts(unsigned flat);
// A new array owned by the caller: the flat's accounts, or [ "<flat>" ] when
// it has none. Safe from any thread.
json_t *GetFlatAccounts(unsigned flat);

// "GetSipAccounts": reads its argument and sends its own reply.
void GetSipAccounts(DBusMessage *message);
// "SetSipAccounts": {"<flat>": ["acc", ...], ...}; validated whole first.
bool SetSipAccounts(json_t *arg);
// "DeleteSipAccounts": {"flat": N} or {"flat": null} for every flat.
bool DeleteSipAccounts(json_t *arg);
