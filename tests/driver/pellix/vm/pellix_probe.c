/*
 * Runs inside the VM test against the loaded module: opens /dev/pel_lix
 * (twice at once), gives it control codes and checks the answers; refuses
 * transfers above the bound; pins read-only memory for writes; then lets
 * several threads open, use and close the device at once, on files of
 * their own and on one they share. The VM has no engine behind the
 * register window, so no transfer is expected to succeed: transfers that
 * reach the engine fail there, after their pages were pinned and mapped.
 * Prints "pellix_probe: ok" and exits 0 when all hold.
 */
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "pellix.h"

#define THREADS		4
#define ROUNDS		200
#define PAGE		4096
/* The driver's default register window. */
#define REG_BASE	0x40000000UL

static const char *path;
/* Just above the bound, read-only: an oversized write from any thread. */
static void *oversized;
static int failures;
static pthread_mutex_t out_lock = PTHREAD_MUTEX_INITIALIZER;

static void expect(int cond, const char *what)
{
	if (!cond) {
		pthread_mutex_lock(&out_lock);
		printf("pellix_probe: FAIL %s (errno %d %s)\n", what, errno,
		       strerror(errno));
		failures++;
		pthread_mutex_unlock(&out_lock);
	}
}

/* Anonymous memory the caller may only read: it costs nothing to map. */
static void *map_readonly(size_t len)
{
	void *p = mmap(NULL, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);

	expect(p != MAP_FAILED, "mmap read-only");
	return p == MAP_FAILED ? NULL : p;
}

static void check_bound(int fd)
{
	const size_t sizes[] = { PELLIX_MAX_TRANSFER + 1, (size_t)260 << 20 };
	size_t i;

	for (i = 0; i < sizeof(sizes) / sizeof(sizes[0]); i++) {
		void *ro = map_readonly(sizes[i]);
		void *rw = mmap(NULL, sizes[i], PROT_READ | PROT_WRITE,
				MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);

		if (ro) {
			errno = 0;
			expect(write(fd, ro, sizes[i]) == -1 && errno == EINVAL,
			       "oversized write gives EINVAL");
			munmap(ro, sizes[i]);
		}
		expect(rw != MAP_FAILED, "mmap");
		if (rw != MAP_FAILED) {
			errno = 0;
			expect(read(fd, rw, sizes[i]) == -1 && errno == EINVAL,
			       "oversized read gives EINVAL");
			munmap(rw, sizes[i]);
		}
	}
}

/*
 * A write pins its pages for reading only, so a read-only buffer can be
 * written from: whatever the missing engine makes of it, it is not EFAULT.
 * A read into that buffer cannot pin it and is EFAULT.
 */
static void check_readonly(int fd)
{
	const size_t sizes[] = { 100, 3 * PAGE };
	char *ro = map_readonly(4 * PAGE);
	size_t i;
	ssize_t n;

	if (!ro)
		return;
	for (i = 0; i < sizeof(sizes) / sizeof(sizes[0]); i++) {
		errno = 0;
		n = write(fd, ro + 16, sizes[i]);
		expect(n == (ssize_t)sizes[i] || (n == -1 && errno != EFAULT),
		       "write from read-only memory is not EFAULT");
		/* Anything the write left outstanding goes. */
		expect(ioctl(fd, PELLIX_SG_RELEASE) == 0, "release after write");
	}
	errno = 0;
	expect(read(fd, ro, 100) == -1 && errno == EFAULT,
	       "read into read-only memory gives EFAULT");
	munmap(ro, 4 * PAGE);
}

/* Control codes that need no engine, on fd; the answers they must give. */
static void use(int fd, int base_too)
{
	struct trans_msg msg = { 0x10000000, FIXED_NULL };
	struct wait_msg wait = { 0, 99 };
	unsigned int idle = 99;

	expect(ioctl(fd, PELLIX_SET_TRANS, &msg) == 0, "set transfer");
	expect(ioctl(fd, PELLIX_GET_IDLE, &idle) == 0 && (idle == 0 || idle == 2),
	       "idle is 0 or 2");
	expect(ioctl(fd, PELLIX_SG_WAIT, &wait) == 0 &&
	       (wait.ret == 0 || wait.ret == -1), "wait");
	expect(ioctl(fd, PELLIX_SG_RELEASE) == 0, "release");
	/* Replaces the window under the other threads' codes on a shared file. */
	if (base_too)
		expect(ioctl(fd, PELLIX_SET_BASE, REG_BASE) == 0, "set base");
	if (oversized) {
		errno = 0;
		expect(write(fd, oversized, PELLIX_MAX_TRANSFER + 1) == -1 &&
		       errno == EINVAL, "oversized write gives EINVAL");
	}
}

static void *worker(void *arg)
{
	int shared = *(int *)arg;
	int round;

	for (round = 0; round < ROUNDS; round++) {
		int fd = open(path, O_RDWR);

		expect(fd >= 0, "open in a thread");
		if (fd >= 0) {
			use(fd, round % 2);
			use(shared, round % 3 == 0);
			expect(close(fd) == 0, "close in a thread");
		}
	}
	return NULL;
}

int main(int argc, char **argv)
{
	const unsigned long invalid[] = { 0x7800, 0x7806, _IO('y', 1),
					  _IOWR('x', 1, int) };
	struct trans_msg msg = { 0x10000000, FIXED_NULL };
	pthread_t threads[THREADS];
	char byte;
	int fd, fd2, i;
	size_t k;

	path = argc > 1 ? argv[1] : "/dev/" PELLIX_NAME;
	fd = open(path, O_RDWR);
	expect(fd >= 0, "open");
	if (fd < 0)
		return 1;
	fd2 = open(path, O_RDWR);
	expect(fd2 >= 0, "second open");

	for (k = 0; k < sizeof(invalid) / sizeof(invalid[0]); k++) {
		errno = 0;
		expect(ioctl(fd, invalid[k], 0) == -1 && errno == EINVAL,
		       "unknown control code gives EINVAL");
	}
	errno = 0;
	expect(ioctl(fd, PELLIX_SET_TRANS, (void *)8) == -1 && errno == EFAULT,
	       "unreadable record gives EFAULT");
	expect(ioctl(fd, PELLIX_SET_TRANS, &msg) == 0, "set transfer");
	expect(ioctl(fd, PELLIX_SG_RELEASE) == 0, "release with nothing outstanding");
	expect(read(fd, &byte, 0) == 0, "0-byte read");

	check_bound(fd);
	check_readonly(fd);

	oversized = map_readonly(PELLIX_MAX_TRANSFER + 1);
	for (i = 0; i < THREADS; i++)
		expect(pthread_create(&threads[i], NULL, worker, &fd) == 0,
		       "thread");
	for (i = 0; i < THREADS; i++)
		pthread_join(threads[i], NULL);

	if (fd2 >= 0)
		expect(close(fd2) == 0, "second close");
	expect(close(fd) == 0, "close");
	if (failures)
		return 1;
	printf("pellix_probe: ok\n");
	return 0;
}
