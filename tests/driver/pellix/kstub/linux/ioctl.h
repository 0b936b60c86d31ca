#ifndef KSTUB_LINUX_IOCTL_H
#define KSTUB_LINUX_IOCTL_H
/* Only the plain form: no direction, no size. */
#define _IO(type, nr)	((((unsigned int)(type)) << 8) | (unsigned int)(nr))
#endif
