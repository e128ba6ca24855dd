// horlet: what the read, the stop and the output share of descriptors:
// waits, reads of message sockets, and a place above the standard ones.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

namespace horlet
{

// Waits until fd is ready for events (POLLIN, POLLOUT), for a descriptor
// that another holder made non-blocking; a signal ends the wait.
void wait_ready(int fd, short events);
// Whether fd is ready for events now, without waiting.
bool ready_now(int fd, short events);

// fd's socket type (SOCK_STREAM, SOCK_DGRAM, ...), or 0 for no socket.
int socket_type(int fd);
// Whether a socket of that type (datagram, seqpacket) carries messages,
// of which a read takes one whole or cuts it short; and whether fd is one.
inline bool of_messages(int type)
{
	return type == SOCK_DGRAM || type == SOCK_SEQPACKET;
}
bool message_socket(int fd);
// Reads one message of such a socket as read(2) would, but never cuts one
// short silently: of a message longer than cap, the first cap bytes are
// given and cut is set, and the next read fails with EMSGSIZE.  A datagram
// of no bytes is passed over.
ssize_t read_message(int fd, char *buf, std::size_t cap, bool &cut);

// fd, moved above the standard descriptors, so that a closed standard
// stream is never taken over by it.
int above_std(int fd);

} // namespace horlet
