// The command line and the messages, in process: what cannot be reached
// through the built binary.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "frame.hpp"
#include "harness.hpp"

namespace
{

using namespace horlet;

// The parse itself, where the kernel cannot reach it: Linux turns an exec
// with no arguments at all into one with an empty program name.
TEST(parse, empty_argument_vector_goes_on_with_the_defaults)
{
	char *argv[] = {nullptr};
	run_settings rs;
	EXPECT_FALSE(parse_command_line(0, argv, rs).has_value());
}

// A diagnostic longer than a pipe holds, to a reader that is slow, while a
// timer interrupts the writes: it arrives whole, however the writes are
// cut short.  In a child, so that the timer stays out of this process.
TEST(diag, long_diagnostic_arrives_whole)
{
	// Varied, so that a piece rewritten from the wrong place shows.
	std::string object;
	for (int i = 0; object.size() < 100000; ++i)
		object += std::to_string(i) + ' ';
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	pid_t pid = start_child([&] {
		dup2(p[1], STDERR_FILENO);
		close(p[0]);
		interrupt_every(1000);
		horlet::diag(object, "too many arguments");
		return 0;
	});
	ASSERT_GE(pid, 0);
	close(p[1]);
	std::string got;
	char buf[4096];
	for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) {
		got.append(buf, static_cast<std::size_t>(n));
		usleep(200);
	}
	close(p[0]);
	EXPECT_EQ(wait_for(pid, run_timeout), 0);
	EXPECT_TRUE(got == object + ": too many arguments\n") << got.size() << " bytes";
}

} // namespace
