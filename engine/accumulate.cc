#include "accumulate.h"

#define ACCUMULATE_NAME accumulate_base
#define ACCUMULATE_ONE accumulate_one_base
#include "accumulate.inc"

Accumulate select_accumulate()
{
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx2")) return accumulate_avx2;
#endif
    return accumulate_base;
}
