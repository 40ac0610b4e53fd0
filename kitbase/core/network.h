#pragma once
// Who and where this machine is on the network: its main IPv4 address, MAC address,
// computer and host name, its public address as an outside lookup service sees it,
// the address of a host named in a URL; and the flat JSON form of the service's
// key:value information text.
#include <string>

#include "kitbase/core/wsa_com.h"
#include "kitbase/export.h"

// IPv4 address of the first adapter that has a default gateway; empty when none has.
KITBASE_API std::wstring getMainIPAddress();
KITBASE_API std::wstring getIPAddress();
// The first IPv4 address of the URL's host; the host text itself when the name does
// not resolve.
KITBASE_API std::wstring getIPAddress(const std::wstring& url);
// The host part of a URL: the scheme ("...://") and everything from the first "/"
// after it are removed; a port stays.
KITBASE_API std::wstring getDomain(const std::wstring& url);
// The host name; empty when it cannot be read.
KITBASE_API std::wstring getHostname();

// The public address as the lookup service answers it; empty on failure.
KITBASE_API std::wstring getExternalIPAddress();
KITBASE_API std::wstring ipify();
// Writes the public address text into out (room for len bytes, terminator included):
// 0 on success, negative on failure.
KITBASE_API int ipify(char* out, unsigned int len);
// The lookup service: host name and port (service name or number). Default
// "api.ipify.org", "http".
KITBASE_API void setPublicIPService(const std::string& host, const std::string& port);
// Bound in milliseconds of the connect and of the whole reply (default 10,000).
KITBASE_API void setPublicIPTimeout(unsigned int milliseconds);

// "AA:BB:CC:DD:EE:FF" (upper-case) of the first adapter; kept once found, asked again
// while unknown (empty).
KITBASE_API const std::string& getMACA();
KITBASE_API const std::wstring& getMAC();
// The machine's name (the host name without its domain); kept once found.
KITBASE_API const std::wstring& getComputerName();

// One JSON object of the text's "key:value" lines (key = text before the first ":",
// value = the rest, both as JSON strings); lines without ":" are left out.
KITBASE_API std::wstring convertToJSON(const std::wstring& text);
