// Runs a command and writes what it used to a file: user and system CPU
// seconds, its peak resident memory in KiB, and how often it gave up the
// processor, by waiting (voluntary context switches) and by being preempted
// (involuntary ones): its wake-ups.
//   run_with_rusage OUTPUT COMMAND [ARG...]
//
// The kernel counts a process's peak from before its exec, so a child forked
// straight from the benchmark's Python driver would start out at the driver's
// size; forked from this small program, the command's peak is its own. Unlike
// /usr/bin/time, which gives CPU time in hundredths of a second (too coarse
// for what a track costs), this keeps the microseconds.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

pid_t child = -1;

// Whoever stops this program means the command.
void pass_on(int signal_number) {
    if (child > 0) kill(child, signal_number);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: run_with_rusage OUTPUT COMMAND [ARG...]\n");
        return 2;
    }
    child = fork();
    if (child == -1) {
        std::perror("run_with_rusage: fork");
        return 2;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        std::perror("run_with_rusage: exec");
        _exit(127);
    }
    struct sigaction action = {};
    action.sa_handler = pass_on;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    int status = 0;
    struct rusage usage = {};
    while (wait4(child, &status, 0, &usage) == -1) {
        if (errno != EINTR) {
            std::perror("run_with_rusage: wait");
            return 2;
        }
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror("run_with_rusage: output");
        return 2;
    }
    std::fprintf(out, "%ld.%06ld %ld.%06ld %ld %ld %ld\n", static_cast<long>(usage.ru_utime.tv_sec),
                 static_cast<long>(usage.ru_utime.tv_usec), static_cast<long>(usage.ru_stime.tv_sec),
                 static_cast<long>(usage.ru_stime.tv_usec), usage.ru_maxrss, usage.ru_nvcsw, usage.ru_nivcsw);
    std::fclose(out);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
