/*
 * Runs inside the VM test against the loaded module: opens /dev/pel_lix
 * (twice at once), gives it control codes that touch no hardware and checks
 * the answers. Prints "pellix_probe: ok" and exits 0 when all hold.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "pellix.h"

static int failures;

static void expect(int cond, const char *what)
{
	if (!cond) {
		printf("pellix_probe: FAIL %s (errno %d %s)\n", what, errno,
		       strerror(errno));
		failures++;
	}
}

int main(int argc, char **argv)
{
	const char *path = argc > 1 ? argv[1] : "/dev/" PELLIX_NAME;
	const unsigned long invalid[] = { 0x7800, 0x7806, _IO('y', 1),
					  _IOWR('x', 1, int) };
	struct trans_msg msg = { 0x10000000, FIXED_NULL };
	char byte;
	int fd, fd2;
	size_t i;

	fd = open(path, O_RDWR);
	expect(fd >= 0, "open");
	if (fd < 0)
		return 1;
	fd2 = open(path, O_RDWR);
	expect(fd2 >= 0, "second open");

	for (i = 0; i < sizeof(invalid) / sizeof(invalid[0]); i++) {
		errno = 0;
		expect(ioctl(fd, invalid[i], 0) == -1 && errno == EINVAL,
		       "unknown control code gives EINVAL");
	}
	errno = 0;
	expect(ioctl(fd, PELLIX_SET_TRANS, (void *)8) == -1 && errno == EFAULT,
	       "unreadable record gives EFAULT");
	expect(ioctl(fd, PELLIX_SET_TRANS, &msg) == 0, "set transfer");
	expect(ioctl(fd, PELLIX_SG_RELEASE) == 0, "release with nothing outstanding");
	expect(read(fd, &byte, 0) == 0, "0-byte read");

	if (fd2 >= 0)
		expect(close(fd2) == 0, "second close");
	expect(close(fd) == 0, "close");
	if (failures)
		return 1;
	printf("pellix_probe: ok\n");
	return 0;
}
