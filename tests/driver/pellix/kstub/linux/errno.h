#ifndef KSTUB_LINUX_ERRNO_H
#define KSTUB_LINUX_ERRNO_H
#define EPERM		1
#define EINTR		4
#define EIO		5
#define ENOMEM		12
#define EFAULT		14
#define EBUSY		16
#define EEXIST		17
#define ENODEV		19
#define EINVAL		22
#define ETIMEDOUT	110
#endif
