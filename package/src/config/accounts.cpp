#define LOG_MODULE "package/src/config/accounts"
#include "config/accounts.h"

#include "ornix.h"

void LoadAccounts() {}
void FreeAccounts() {}
json_t *AccountsSnapshot() { return json_object(); }
json_t *FindFlatAccounts(unsigned) { return nullptr; }
int CountFlatAccounts(unsigned) { return 0; }
json_t *GetFlatAccounts(unsigned) { return json_array(); }
bool SaveAccounts() { return false; }
void GetSipAccounts(DBusMessage *) {}
bool SetSipAccounts(json_t *) { return false; }
bool DeleteSipAccounts(json_t *) { return false; }
