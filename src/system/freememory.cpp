#include "system/freememory.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

void returnFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}
