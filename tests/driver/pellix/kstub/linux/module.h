#ifndef KSTUB_LINUX_MODULE_H
#define KSTUB_LINUX_MODULE_H
#include "../kapi.h"

extern struct module kstub_this_module;
#define THIS_MODULE (&kstub_this_module)

/* The module's information and entry points become symbols a test reaches. */
#define MODULE_LICENSE(s)	const char kstub_modinfo_license[] = s
#define MODULE_DESCRIPTION(s)	const char kstub_modinfo_description[] = s
#define MODULE_VERSION(s)	const char kstub_modinfo_version[] = s
#define module_init(fn) \
	int kstub_module_init(void) { return fn(); } extern int kstub_module_init(void)
#define module_exit(fn) \
	void kstub_module_exit(void) { fn(); } extern void kstub_module_exit(void)
#endif
