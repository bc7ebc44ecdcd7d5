/* Preloaded into a program under test to make its file writes fail as a
 * full or failing disk would. QUELLINE_FAIL names the call that fails:
 *   write         write() to a file whose name holds QUELLINE_FAIL_MATCH
 *   fsync         fsync() of such a file
 *   rename        rename() of such a file
 *   folder-fsync  fsync() of any folder
 * QUELLINE_FAIL_ERRNO is the error number it fails with (default EIO).
 * Everything else passes through to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* The C library's own function of that name (a data pointer to a function
 * pointer goes through memcpy, as ISO C has no cast between them). */
static void* next(const char* name) {
  return dlsym(RTLD_NEXT, name);
}
#define REAL(variable, name)                                                                       \
  do {                                                                                             \
    if (variable == NULL) {                                                                        \
      void* found = next(name);                                                                    \
      memcpy(&variable, &found, sizeof variable);                                                  \
    }                                                                                              \
  } while (0)

static int failing(const char* call) {
  const char* fail = getenv("QUELLINE_FAIL");
  return fail != NULL && strcmp(fail, call) == 0;
}

static int failWith(void) {
  const char* number = getenv("QUELLINE_FAIL_ERRNO");
  errno = number != NULL ? atoi(number) : EIO;
  return -1;
}

static int nameMatches(const char* path) {
  const char* match = getenv("QUELLINE_FAIL_MATCH");
  return path != NULL && match != NULL && *match != '\0' && strstr(path, match) != NULL;
}

static int fdMatches(int fd) {
  char link[64];
  char path[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, sizeof path - 1);
  if (n < 0) return 0;
  path[n] = '\0';
  return nameMatches(path);
}

static int isFolder(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

ssize_t write(int fd, const void* buffer, size_t count) {
  static ssize_t (*real)(int, const void*, size_t);
  REAL(real, "write");
  if (failing("write") && fdMatches(fd)) return failWith();
  return real(fd, buffer, count);
}

int fsync(int fd) {
  static int (*real)(int);
  REAL(real, "fsync");
  if (failing("fsync") && fdMatches(fd)) return failWith();
  if (failing("folder-fsync") && isFolder(fd)) return failWith();
  return real(fd);
}

int rename(const char* from, const char* to) {
  static int (*real)(const char*, const char*);
  REAL(real, "rename");
  if (failing("rename") && nameMatches(from)) return failWith();
  return real(from, to);
}
