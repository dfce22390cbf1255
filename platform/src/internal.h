// Shared between the library's own source files only.
#pragma once

#include <cstdarg>
#include <string>

#include <dbus/dbus.h>

namespace ornix {

// printf into a std::string (errno as the caller left it, for %m).
std::string VFormat(const char *fmt, va_list ap);
std::string Format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Creates `dir` and its parents. True when it exists afterwards.
bool MakeDirs(const std::string &dir);

// A new private, registered connection to the system bus: the address in
// DBUS_SYSTEM_BUS_ADDRESS at the time of the call, else the default socket.
// It does not end the process on disconnect. Null on failure, with libdbus's
// reason in *why (empty when it gave none).
DBusConnection *OpenSystemBus(std::string *why);

// Appends one record to the journal table of the store.
void JournalInsert(int level, const char *file, int line, int code, const std::string &text,
                   const std::string *detail);

}  // namespace ornix
