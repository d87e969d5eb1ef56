#include "sockets/errornumbers.h"

#include <cerrno>

int ErrorNumber::fromErrno(int error)
{
    switch (error) {
    case 0: return None;
    case EACCES:
    case EPERM: return Access;
    case EINVAL: return Invalid;
    case EMFILE:
    case ENFILE: return TooManyFiles;
    case EADDRINUSE: return AddressInUse;
    case EADDRNOTAVAIL: return AddressNotAvailable;
    case ENETDOWN: return NetworkDown;
    case ENETUNREACH: return NetworkUnreachable;
    case ECONNABORTED: return ConnectionAborted;
    // EPIPE is a send after the peer has gone; Windows calls that a reset.
    case ECONNRESET:
    case EPIPE: return ConnectionReset;
    case ENOBUFS:
    case ENOMEM: return NoBuffers;
    case ENOTCONN: return NotConnected;
    case ETIMEDOUT: return TimedOut;
    case ECONNREFUSED: return ConnectionRefused;
    case EHOSTUNREACH: return HostUnreachable;
    // A listener asked to listen again while it listens.
    case EALREADY: return InvalidState;
    default: return SystemCallFailure;
    }
}
