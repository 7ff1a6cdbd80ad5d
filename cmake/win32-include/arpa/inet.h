// The POSIX address-conversion header, for sources that are shared with the POSIX
// build: on Windows inet_pton and the address structures come from Winsock.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
