#include "system/freememory.h"

#include <cstdlib> // defines __GLIBC__ where the C library is glibc

#ifdef __GLIBC__
#include <malloc.h>
#endif

void returnFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}
