/* SPDX-License-Identifier: MIT */
/* Runs a program and prints its peak resident set in kB. A small C parent,
 * so that what the child had before its exec adds little to the figure. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        return 2;
    }
    const pid_t child = fork();
    if (child == 0) {
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        dup2(quiet, 2);
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (child < 0 || wait4(child, &status, 0, &usage) != child) {
        return 1;
    }
    printf("%ld\n", usage.ru_maxrss);
    return 0;
}
