#pragma once

// The message every bench sends: an ADT^A01 with EVN, PID and a filler NTE,
// exactly `size` bytes in its MLLP block.

#include <cstdio>
#include <string>

// Connection 0 is the one sender; others put their number in the control id,
// so that no two connections send the same id. The size stays exact either way.
inline std::string message(long id, int size, int connection = 0)
{
    char controlId[48];
    if (connection == 0)
        std::snprintf(controlId, sizeof controlId, "MSG%09ld", id);
    else
        std::snprintf(controlId, sizeof controlId, "MSG%03d-%09ld", connection, id);
    char head[320];
    std::snprintf(head, sizeof head,
                  "MSH|^~\\&|BENCH|FAC|ACKPROBE|FAC|20261207081500||ADT^A01|%s|P|2.3\r"
                  "EVN|A01|20261207081500\r"
                  "PID|1||%ld^^^HOSP||DOE^JOHN||19700101|M\r",
                  controlId, id);
    std::string text = head;
    const int fixed = int(text.size()) + 3 /* framing */ + 5 /* "NTE|1|" less one */ + 1;
    if (size > fixed)
        text += "NTE|1||" + std::string(size - fixed - 2, 'x') + "\r";
    return "\x0b" + text + "\x1c\r";
}
