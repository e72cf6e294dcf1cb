/* What one CPUID instruction costs here. glibc's start-up runs dozens of
 * them to choose its string functions; under virtualisation each one exits
 * to the hypervisor. Prints the median of 11 batches of 2000, in
 * microseconds per instruction (x86-64). */
#include <cpuid.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

enum { BATCHES = 11, PER_BATCH = 2000 };

static int by_value(const void* a, const void* b)
{
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

int main(void)
{
    double batches[BATCHES];
    unsigned a = 0, b = 0, c = 0, d = 0;
    for (int batch = 0; batch < BATCHES; ++batch) {
        struct timespec start, end;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (int i = 0; i < PER_BATCH; ++i)
            __cpuid(0, a, b, c, d);
        clock_gettime(CLOCK_MONOTONIC, &end);
        double ns = (double)(end.tv_sec - start.tv_sec) * 1e9 + (double)(end.tv_nsec - start.tv_nsec);
        batches[batch] = ns / PER_BATCH / 1e3;
    }
    qsort(batches, BATCHES, sizeof *batches, by_value);
    printf("%.2f\n", batches[BATCHES / 2]);
    return a == 0 && b == 0 && c == 0 && d == 0;
}
