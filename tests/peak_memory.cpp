// peak_memory PROGRAM [ARGUMENT...]: runs the program and prints the most
// memory it held, in KiB, exiting with its status. A process forked from a
// large one starts out holding the large one's pages, and the kernel counts
// them in its peak even after it has exec'd; started from this small
// program, the figure is the program's own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: peak_memory PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  const pid_t child = fork();
  if (child < 0) return 2;
  if (child == 0) {
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) return 2;
  std::printf("%ld\n", usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
