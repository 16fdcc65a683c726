// TransportEvent: what a transport tells besides received bytes and fatal
// errors: a TCP client that connected or went away, a loss the system
// reported (UDP receive-queue drops, serial line errors), a serial device that
// went away or came back. An event is informational: it never ends a capture
// by itself; an error that does still goes to the message signal.
#pragma once

#include <cstdint>
#include <string>

struct TransportEvent {
    enum class Kind {
        kClientConnected,  // a TCP client was accepted
        kClientClosed,     // a TCP client closed its connection (end of stream)
        kClientReset,      // a TCP connection ended with an error (a reset, ...)
        kLoss,             // the system reports data lost
        kDeviceGone,       // a serial device went away
        kDeviceBack,       // a serial device came back and was opened again
        kNote,             // anything else worth keeping with the capture
    };

    Kind kind = Kind::kNote;
    // Whom it concerns, in words: "127.0.0.1:40112", "COM3 -> /dev/ttyUSB0".
    std::string source;
    // The TCP connection's number (1 for the first client accepted), else 0.
    std::uint64_t connection = 0;
    // What happened, in words, as a status line or a record shows it:
    // "client 127.0.0.1:40112 closed the connection".
    std::string text;
    // For kLoss: how many units (datagrams, line errors) were lost since the
    // last loss event of this source.
    std::uint64_t count = 0;
    // For kLoss: what |count| counts, "datagrams" or "line errors".
    std::string unit;
};
