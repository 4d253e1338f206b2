// Whether a TCP server could listen on a port of this machine.
#pragma once

// True when nothing listens on `port` on any address: a bind with address reuse, as a TCP
// server sink makes it, succeeds. Asked before the stream's encoders are built, so that a
// port taken by another program fails the start at once instead of after building and tearing
// down its producers.
bool tcp_port_is_free(int port);
