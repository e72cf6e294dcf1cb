/* What one CPUID instruction costs here. glibc's start-up runs dozens of
 * them to choose its string functions; under virtualisation each one exits
 * to the hypervisor. Prints the mean of 20000, in microseconds (x86-64). */
#include <cpuid.h>
#include <stdio.h>
#include <time.h>

int main(void)
{
    enum { COUNT = 20000 };
    unsigned a, b, c, d;
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int i = 0; i < COUNT; ++i)
        __cpuid(0, a, b, c, d);
    clock_gettime(CLOCK_MONOTONIC, &end);
    double ns = (double)(end.tv_sec - start.tv_sec) * 1e9 + (double)(end.tv_nsec - start.tv_nsec);
    printf("%.2f\n", ns / COUNT / 1e3);
    return a == 0 && b == 0 && c == 0 && d == 0;
}
