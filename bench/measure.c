/* bench/run's helper: runs a command and writes what wait4 reports of it to a file.
 *
 *   measure RESULT LIMIT COMMAND [ARGUMENT...]
 *
 * RESULT is the file the line "STATUS USER SYSTEM PEAK" goes to: the raw wait status, the user and
 * system CPU seconds and the peak resident size in KiB. LIMIT is the address-space limit of
 * COMMAND in bytes, 0 for none. SIGTERM kills COMMAND (with SIGKILL) and the line is still
 * written. The exit status is 0 when RESULT was written, 2 otherwise; COMMAND's own status is in
 * the line (127 when it could not be started).
 *
 * Why bench/run does not simply call wait4 itself: Linux keeps a process's peak resident size
 * across execve, so a child forked from the Python interpreter that runs bench/run starts with
 * that interpreter's size (about 12 MiB) as its peak, and a program that stays below it is
 * reported at that size. This helper is small, so the child it forks starts small and the peak is
 * the program's own.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

static volatile sig_atomic_t child = 0;

static void on_term(int signo) {
    (void)signo;
    if (child > 0)
        kill((pid_t)child, SIGKILL);
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: measure RESULT LIMIT COMMAND [ARGUMENT...]\n");
        return 2;
    }
    const char *result = argv[1];
    char *end = NULL;
    unsigned long long limit = strtoull(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0') {
        fprintf(stderr, "measure: LIMIT must be a number of bytes, not %s\n", argv[2]);
        return 2;
    }

    /* SIGTERM stays blocked until the child's pid is known, so that it cannot be lost. */
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &old);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_term;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, NULL);

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        perror("measure: fork");
        return 2;
    }
    if (pid == 0) {
        signal(SIGTERM, SIG_DFL);
        sigprocmask(SIG_SETMASK, &old, NULL);
        /* Killed along with this helper, should it die first. */
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        if (limit) {
            struct rlimit rl = {(rlim_t)limit, (rlim_t)limit};
            if (setrlimit(RLIMIT_AS, &rl) != 0) {
                perror("measure: setrlimit");
                _exit(127);
            }
        }
        execvp(argv[3], argv + 3);
        fprintf(stderr, "measure: cannot run %s: %s\n", argv[3], strerror(errno));
        _exit(127);
    }
    child = pid;
    sigprocmask(SIG_SETMASK, &old, NULL);

    int status = 0;
    struct rusage usage;
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            perror("measure: wait4");
            return 2;
        }
    }
    FILE *out = fopen(result, "w");
    if (!out) {
        fprintf(stderr, "measure: cannot write %s: %s\n", result, strerror(errno));
        return 2;
    }
    fprintf(out, "%d %ld.%06ld %ld.%06ld %ld\n", status, (long)usage.ru_utime.tv_sec,
            (long)usage.ru_utime.tv_usec, (long)usage.ru_stime.tv_sec, (long)usage.ru_stime.tv_usec,
            usage.ru_maxrss);
    if (fclose(out) != 0) {
        fprintf(stderr, "measure: cannot write %s: %s\n", result, strerror(errno));
        return 2;
    }
    return 0;
}
