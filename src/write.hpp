// horlet: the output: a buffer that collects stamped lines, and the write
// loops that deliver it (and the program's diagnostics).
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

namespace horlet
{

// Write all n bytes, or the n pieces at v, across short writes and
// interrupts, each with as few system calls as the descriptor allows;
// 0 or an errno.  write_all also splits what a message socket refuses as
// one message, at newlines where it can.
int write_all(int fd, const char *p, std::size_t n);
int writev_all(int fd, iovec *v, int n);

// Output collected in buf[0, len), and written in whole lines: buf[0,
// line_end) holds complete lines.  The first failed write is kept in err;
// from then on nothing more is written and what is collected is dropped,
// since the run is over.
struct out_buf {
	int fd = -1;
	char *buf = nullptr;
	std::size_t cap = 0;
	std::size_t len = 0;
	std::size_t line_end = 0;
	int err = 0;
};

// The copy loop fills buf in place, and keeps the rule through these:
// the buffer now holds len bytes; its complete lines end at at; what it
// holds ends a line.
inline void filled_to(out_buf &o, std::size_t len)
{
	o.len = len;
}
inline void lines_end_at(out_buf &o, std::size_t at)
{
	o.line_end = at;
}
inline void end_line(out_buf &o)
{
	o.line_end = o.len;
}

// Writes the complete lines held, or everything held.
void flush_lines(out_buf &o);
void flush_all(out_buf &o);
// Leaves room for need bytes, writing the complete lines, and the open
// one too where that is not enough.
void make_room(out_buf &o, std::size_t need);
// Adds n bytes, making room as it goes.
void put(out_buf &o, const char *p, std::size_t n);

} // namespace horlet
