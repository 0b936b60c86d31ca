#ifndef KSTUB_LINUX_PRINTK_H
#define KSTUB_LINUX_PRINTK_H
#include "../kapi.h"
#define pr_err(fmt, ...)	printk(KERN_ERR fmt, ##__VA_ARGS__)
#define pr_warn(fmt, ...)	printk(KERN_WARNING fmt, ##__VA_ARGS__)
#define pr_info(fmt, ...)	printk(KERN_INFO fmt, ##__VA_ARGS__)
#endif
