#pragma once

// The numbers the operator sees for socket errors: those of Windows Sockets,
// as the designed error box shows them. The socket classes report errno
// values; only the engine, telling the front end, turns them into these.
namespace ErrorNumber {

enum : int {
    None = 0,
    Access = 10013,               // WSAEACCES
    Invalid = 10022,              // WSAEINVAL
    TooManyFiles = 10024,         // WSAEMFILE
    AddressInUse = 10048,         // WSAEADDRINUSE
    AddressNotAvailable = 10049,  // WSAEADDRNOTAVAIL
    NetworkDown = 10050,          // WSAENETDOWN
    NetworkUnreachable = 10051,   // WSAENETUNREACH
    ConnectionAborted = 10053,    // WSAECONNABORTED
    ConnectionReset = 10054,      // WSAECONNRESET
    NoBuffers = 10055,            // WSAENOBUFS
    NotConnected = 10057,         // WSAENOTCONN
    TimedOut = 10060,             // WSAETIMEDOUT
    ConnectionRefused = 10061,    // WSAECONNREFUSED
    HostUnreachable = 10065,      // WSAEHOSTUNREACH
    SystemCallFailure = 10107,    // WSASYSCALLFAILURE: a failure with no closer number
    InvalidState = 40020,         // the control's own "invalid operation in current state"
};

// The number for an errno value (0 for 0).
int fromErrno(int error);

} // namespace ErrorNumber
