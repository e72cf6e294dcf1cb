/* Times whole processes: runs each PROGRAM with the one argument COMMAND,
 * RUNS times each, interleaved (A B C, then B C A, then C A B, ...) so that a
 * drift in the machine's speed weighs on all alike. Standard output goes to
 * /dev/null; a run that does not exit 0 stops the measurement.
 *
 *   exchange_timer RUNS WARMUP COMMAND PROGRAM...
 *
 * Prints one line per program: its name, runs, and the mean, median and
 * standard deviation of one run in microseconds. */
#include <fcntl.h>
#include <math.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static posix_spawn_file_actions_t to_null;

static double now_us(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1e6 + (double)now.tv_nsec / 1e3;
}

/* One whole process, from spawn to reaped exit. */
static double run_once(const char* program, const char* command)
{
    char* argv[] = {(char*)program, (char*)command, NULL};
    double start = now_us();
    pid_t pid;
    if (posix_spawn(&pid, program, &to_null, NULL, argv, environ) != 0) {
        perror(program);
        exit(2);
    }
    int status;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "exchange_timer: %s failed (wait status %d)\n", program, status);
        exit(2);
    }
    return now_us() - start;
}

static int by_value(const void* a, const void* b)
{
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

static void report(const char* label, double* times, long runs)
{
    double sum = 0, squares = 0;
    for (long i = 0; i < runs; ++i)
        sum += times[i];
    double mean = sum / (double)runs;
    for (long i = 0; i < runs; ++i)
        squares += (times[i] - mean) * (times[i] - mean);
    qsort(times, (size_t)runs, sizeof *times, by_value);
    printf("%-22s runs %ld  mean %.1f us  median %.1f us  stddev %.1f us\n", label, runs, mean, times[runs / 2],
           sqrt(squares / (double)(runs > 1 ? runs - 1 : 1)));
}

static const char* base_name(const char* path)
{
    const char* slash = strrchr(path, '/');
    return slash != NULL ? slash + 1 : path;
}

int main(int argc, char** argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: exchange_timer RUNS WARMUP COMMAND PROGRAM...\n");
        return 2;
    }
    long runs = strtol(argv[1], NULL, 10);
    long warmup = strtol(argv[2], NULL, 10);
    const char* command = argv[3];
    const char* const* programs = (const char* const*)argv + 4;
    int count = argc - 4;
    if (runs < 1 || warmup < 0)
        return 2;

    posix_spawn_file_actions_init(&to_null);
    posix_spawn_file_actions_addopen(&to_null, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);

    for (long i = 0; i < warmup; ++i) {
        for (int p = 0; p < count; ++p)
            run_once(programs[p], command);
    }
    double** times = malloc(sizeof(double*) * (size_t)count);
    if (times == NULL)
        return 2;
    for (int p = 0; p < count; ++p) {
        times[p] = malloc(sizeof(double) * (size_t)runs);
        if (times[p] == NULL)
            return 2;
    }
    for (long i = 0; i < runs; ++i) {
        for (int k = 0; k < count; ++k) {
            int p = (int)((i + k) % count);
            times[p][i] = run_once(programs[p], command);
        }
    }
    for (int p = 0; p < count; ++p)
        report(base_name(programs[p]), times[p], runs);
    return 0;
}
