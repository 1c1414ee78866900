/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Times a command to its exit and to a durable output, and reports its peak resident memory.
 *
 *   measure [--sync FILE] [--log FILE] -- CMD [ARG...]
 *
 * Prints "exit SECONDS durable SECONDS rss KIB status N": durable is the exit plus an fsync of FILE
 * (nothing left to write once CMD made FILE durable itself); rss is CMD's peak resident set. CMD's
 * output goes to the --log file, or nowhere. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
    const char *sync_path = NULL, *log_path = "/dev/null";
    int i = 1;
    for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0 && argv[i][2]; i += 2) {
        if (strcmp(argv[i], "--sync") == 0)
            sync_path = argv[i + 1];
        else if (strcmp(argv[i], "--log") == 0)
            log_path = argv[i + 1];
        else
            break;
    }
    if (i >= argc || strcmp(argv[i], "--") != 0 || i + 1 >= argc) {
        fprintf(stderr, "usage: measure [--sync FILE] [--log FILE] -- CMD [ARG...]\n");
        return 2;
    }
    char **cmd = argv + i + 1;

    double t0 = now();
    pid_t pid = fork();
    if (pid < 0) {
        perror("measure: fork");
        return 1;
    }
    if (pid == 0) {
        int log = open(log_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0) {
            perror("measure: log");
            _exit(127);
        }
        execvp(cmd[0], cmd);
        perror("measure: exec");
        _exit(127);
    }
    int status = 0;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) != pid) {
        perror("measure: wait4");
        return 1;
    }
    double t1 = now();
    if (sync_path) {
        int fd = open(sync_path, O_RDONLY);
        if (fd < 0 || fsync(fd) != 0) {
            perror("measure: fsync");
            return 1;
        }
        close(fd);
    }
    double t2 = now();
    printf("exit %.3f durable %.3f rss %ld status %d\n", t1 - t0, t2 - t0, ru.ru_maxrss,
           WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return 0;
}
