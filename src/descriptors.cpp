// horlet: what the read, the stop and the output share of descriptors:
// waits, reads of message sockets, and a place above the standard ones.
#include "descriptors.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace horlet
{

void wait_ready(int fd, short events)
{
	pollfd p{fd, events, 0};
	(void)poll(&p, 1, -1);
}

bool ready_now(int fd, short events)
{
	pollfd p{fd, events, 0};
	return poll(&p, 1, 0) == 1 && (p.revents & events) != 0;
}

int socket_type(int fd)
{
	int type = 0;
	socklen_t len = sizeof type;
	return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 ? type : 0;
}

bool message_socket(int fd)
{
	return of_messages(socket_type(fd));
}

ssize_t read_message(int fd, char *buf, std::size_t cap, bool &cut)
{
	if (cut) {
		errno = EMSGSIZE;
		return -1;
	}
	iovec v{buf, cap};
	msghdr m{};
	m.msg_iov = &v;
	m.msg_iovlen = 1;
	ssize_t n;
	// A datagram of no bytes carries nothing, and a datagram socket has
	// no end: any sender may still send.  (A seqpacket socket's 0 is its
	// end, or a message of no bytes, which the system does not tell
	// apart.)
	do
		n = recvmsg(fd, &m, 0);
	while (n == 0 && socket_type(fd) == SOCK_DGRAM);
	// A descriptor that is no socket (the stop puts a pipe in the
	// input's place) reads as read(2) reads it.
	if (n < 0 && errno == ENOTSOCK)
		return read(fd, buf, cap);
	if (n > 0 && (m.msg_flags & MSG_TRUNC) != 0)
		cut = true;
	return n;
}

int above_std(int fd)
{
	if (fd < 0 || fd > STDERR_FILENO)
		return fd;
	int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
	int err = errno;
	close(fd);
	errno = err;
	return high;
}

} // namespace horlet
