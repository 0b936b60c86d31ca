#include "kivo/base/kivo_init.h"

#include <stdio.h>
#include <time.h>

#include "kivo/base/kivo_types.h"
#include "kivo/base/platform/linux/__platform_kernel.h"

#define KIVO_STR_(x) #x
#define KIVO_STR(x) KIVO_STR_(x)

// Marked so that the version can be found in the binary.
#define KIVO_VERSION_RECORD \
    "$$$<ver>" KIVO_STR(KIVO_VERSION_MAJOR) "." KIVO_STR(KIVO_VERSION_MINOR) "</ver>$$$"

int32_t kivo_init(void)
{
    printf("kivo init, %s\r\n", KIVO_VERSION_RECORD);
    printf("sizeof(kivo_time_t)=%d, sizeof(time_t)=%d\r\n", (int)sizeof(kivo_time_t),
           (int)sizeof(time_t));
    kivo_platform_init();
    return KIVO_VERSION_MAJOR * 100 + KIVO_VERSION_MINOR;
}

int32_t kivo_deinit(void)
{
    kivo_platform_deinit();
    printf("kivo deinit\r\n");
    return 1;
}
