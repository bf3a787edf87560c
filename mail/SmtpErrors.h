#pragma once

#include <cstdint>

// The SMTP component's own error codes. A server's refusal is reported with
// its three-digit reply code instead (400 to 599); 0 means success.
namespace smtp {

enum ErrorCode : int32_t {
    UnknownHost = -1,       // the server's name does not resolve
    ConnectionRefused = -2, // nothing answers at that address and port
    TimedOut = -3,          // no reply in time, or the message stopped moving
    TlsFailure = -4,        // no TLS where required, TLS failed, certificate not trusted
    LoginRefused = -5,      // login refused without a reply code, or no login offered
    ConnectionLost = -6,    // the connection broke or the server hung up
    InvalidValue = -7,      // a setting or address is malformed, holds a control
                            // character, or has non-ASCII before the "@"
    FileUnreadable = -8,    // the message file is missing, empty or changed while sent
    NoSession = -9,         // no open session, or another operation still runs
    ProtocolError = -10,    // a reply that is no SMTP, endless or oversized; anything unexpected
    Cancelled = -11,        // the user cancelled the operation
};

} // namespace smtp
