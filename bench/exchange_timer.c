/* Times whole processes: runs PROGRAM_A and PROGRAM_B, each with the one
 * argument COMMAND, RUNS times each, interleaved (A B, then B A, ...) so that
 * a drift in the machine's speed weighs on both alike. Standard output goes
 * to /dev/null; a run that does not exit 0 stops the measurement.
 *
 *   exchange_timer RUNS WARMUP COMMAND PROGRAM_A PROGRAM_B
 *
 * Prints, for A and for B: runs, mean, median and standard deviation of one
 * run in microseconds; then the ratio of B's mean to A's, and of the medians. */
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

static double report(const char* label, double* times, long runs, double* median)
{
    double sum = 0, squares = 0;
    for (long i = 0; i < runs; ++i)
        sum += times[i];
    double mean = sum / (double)runs;
    for (long i = 0; i < runs; ++i)
        squares += (times[i] - mean) * (times[i] - mean);
    qsort(times, (size_t)runs, sizeof *times, by_value);
    *median = times[runs / 2];
    printf("%-16s runs %ld  mean %.1f us  median %.1f us  stddev %.1f us\n", label, runs, mean, times[runs / 2],
           sqrt(squares / (double)(runs > 1 ? runs - 1 : 1)));
    return mean;
}

static const char* base_name(const char* path)
{
    const char* slash = strrchr(path, '/');
    return slash != NULL ? slash + 1 : path;
}

int main(int argc, char** argv)
{
    if (argc != 6) {
        fprintf(stderr, "usage: exchange_timer RUNS WARMUP COMMAND PROGRAM_A PROGRAM_B\n");
        return 2;
    }
    long runs = strtol(argv[1], NULL, 10);
    long warmup = strtol(argv[2], NULL, 10);
    const char* command = argv[3];
    const char* programs[2] = {argv[4], argv[5]};
    if (runs < 1 || warmup < 0)
        return 2;

    posix_spawn_file_actions_init(&to_null);
    posix_spawn_file_actions_addopen(&to_null, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);

    for (long i = 0; i < warmup; ++i) {
        run_once(programs[0], command);
        run_once(programs[1], command);
    }
    double* times[2] = {malloc(sizeof(double) * (size_t)runs), malloc(sizeof(double) * (size_t)runs)};
    if (times[0] == NULL || times[1] == NULL)
        return 2;
    for (long i = 0; i < runs; ++i) {
        int first = (int)(i % 2);
        times[first][i] = run_once(programs[first], command);
        times[1 - first][i] = run_once(programs[1 - first], command);
    }

    double median_a, median_b;
    double mean_a = report(base_name(programs[0]), times[0], runs, &median_a);
    double mean_b = report(base_name(programs[1]), times[1], runs, &median_b);
    printf("median ratio %s/%s: %.3f\n", base_name(programs[1]), base_name(programs[0]), median_b / median_a);
    printf("ratio %s/%s: %.3f\n", base_name(programs[1]), base_name(programs[0]), mean_b / mean_a);
    return 0;
}
